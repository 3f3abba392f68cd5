#include <gtest/gtest.h>

#include <thread>

#include "base/channel.h"
#include "base/compact_coding.h"
#include "base/lz4_block.h"
#include "base/mutex.h"
#include "base/utf8.h"
#include "tests/cpp/support.h"

namespace zel {
namespace {

using testing::panic_message;

TEST(CompactCoding, GoldenBytesAtEveryWidthAndEveryTruncationRefused) {
  const int64_t t = 1'700'000'000'000'000'000;  // a time stamp
  for (auto [u, bytes] : std::vector<std::pair<uint64_t, Bytes>>{
           {0, {0x00}},
           {250, {0xFA}},
           {251, {0xFB, 0xFB, 0x00}},
           {0xFFFF, {0xFB, 0xFF, 0xFF}},
           {0x10000, {0xFC, 0x00, 0x00, 0x01, 0x00}},
           {0xFFFFFFFF, {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}},
           {0x100000000, {0xFD, 0, 0, 0, 0, 1, 0, 0, 0}},
           {UINT64_MAX, {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
           {compact::zigzag(-1), {0x01}},
           {compact::zigzag(1000), {0xFB, 0xD0, 0x07}},
           {compact::zigzag(t), {0xFD, 0x00, 0x00, 0x54, 0x6C, 0xFC, 0x39, 0x2F, 0x2F}},
           {compact::zigzag(INT64_MIN), {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
           {compact::zigzag(INT64_MAX), {0xFD, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
       }) {
    Bytes b;
    compact::put_uint(b, u);
    EXPECT_EQ(b, bytes) << u;
    EXPECT_EQ(compact::uint_size(u), b.size()) << u;
    EXPECT_EQ(compact::int_size(compact::unzigzag(u)), b.size()) << u;
    b.resize(b.size() + 2, 'x');  // as the length of a text, two bytes follow
    for (size_t cut = 0; cut <= b.size(); ++cut) {
      // Each reader on its own cursor over the first `cut` bytes.
      auto read = [&](auto get, auto& value) {
        Cursor in(b.data(), b.data() + cut);
        return get(in, value);
      };
      uint64_t v = 0;
      int64_t i = 0;
      std::span<const uint8_t> s;
      const bool whole = cut >= bytes.size();
      EXPECT_EQ(read(compact::get_uint, v) ? v : ~u, whole ? u : ~u) << u << " " << cut;
      EXPECT_EQ(read(compact::get_int, i) ? compact::zigzag(i) : ~u, whole ? u : ~u) << cut;
      EXPECT_EQ(read(compact::get_bytes, s), whole && u <= cut - bytes.size()) << u << " " << cut;
    }
  }
  for (uint8_t unused : {0xFE, 0xFF}) {
    const Bytes b(9, unused);
    Cursor in(b);
    uint64_t v = 0;
    EXPECT_FALSE(compact::get_uint(in, v));
  }
}

TEST(Utf8, ValidPrefixStopsAtTheFirstByteThatIsNotPartOfAShortestForm) {
  // Whole characters at the edges of every range of lead and second bytes, and the
  // nearest sequences outside them; each alone and between 'a' and "z\x80".
  // clang-format off
  const std::vector<std::string> valid = {
      "\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xE0\xBF\xBF", "\xE2\x82\xAC",
      "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBB\xBF", "\xEF\xBF\xBD", "\xEF\xBF\xBF",
      "\xF0\x90\x80\x80", "\xF0\x90\x80\xBF", "\xF0\x9F\x98\x80", "\xF4\x80\x80\x80",
      "\xF4\x8F\xBF\xBF"};
  const std::vector<std::string> invalid = {
      "\x80", "\xBF", "\xFF", "\xC0\x80", "\xC1\xBF", "\xC2\x7F", "\xC2\xC0", "\xE0\x9F\xBF",
      "\xED\xA0\x80", "\xE2\x82\x7F", "\xE2\x82\xC0", "\xE2\x82", "\xF0\x8F\xBF\xBF",
      "\xF0\x90\x80\xC0", "\xF0\x90\x7F\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
      "\xF0\x9F\x98"};
  // clang-format on
  for (bool ok : {true, false}) {
    for (const std::string& c : ok ? valid : invalid) {
      const size_t n = ok ? c.size() : 0;
      EXPECT_EQ(utf8::valid_prefix(c), n) << ::testing::PrintToString(c);
      EXPECT_EQ(utf8::valid_prefix("a" + c + "z\x80"), ok ? n + 2 : 1)
          << ::testing::PrintToString(c);
    }
  }
  // A three-byte character after 'a', in a view that stops before a stray continuation byte.
  const std::string buffer = "a\xE2\x82\xAC\x80";
  const std::string_view s(buffer.data(), 4);
  for (size_t max = 0; max <= 5; ++max)
    EXPECT_EQ(utf8::cut(s, max), s.substr(0, max < 1 ? 0 : max < 4 ? 1 : 4)) << max;
  for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"a\"b\\c", R"("a\"b\\c")"},
           {std::string("\t\r\n\0", 4), R"("\t\r\n\0")"},
           {"\x1F \x7E\x7F", R"("\u{1f} ~\u{7f}")"},
           {"\xC2\x80\xC2\x9F\xC2\xA0", "\"\\u{80}\\u{9f}\xC2\xA0\""},
           {"x\xFFy\xE2\x82", R"("x\xFFy\xE2\x82")"},
       })
    EXPECT_EQ(utf8::debug_quote(in), out);
}

TEST(Mutex, AFailedHolderPoisonsButAGuardTakenWhileUnwindingDoesNot) {
  Mutex<int> m(1);
  try {
    struct Unwinding {  // a guard taken and released during unwinding does not poison
      Mutex<int>& m;
      ~Unwinding() { *m.lock() += 1; }
    } u{m};
    throw 0;
  } catch (int) {
  }
  EXPECT_EQ(*m.lock(), 2);
  EXPECT_EQ(panic_message([&] {
              auto held = m.lock();
              panic("failed while holding it");
            }),
            "failed while holding it");
  EXPECT_EQ(panic_message([&] { m.lock(); }), kPoisonedLock);
  Mutex<int, Poisoning::Off> lenient(0);
  panic_message([&] {
    auto held = lenient.lock();
    panic("failed");
  });
  EXPECT_EQ(*lenient.lock(), 0);
}

TEST(Lz4Block, OnlySizesThatABlockCanHoldArePlausible) {
  EXPECT_TRUE(lz4::plausible(2, 510) && lz4::plausible(lz4::kMaxInput, lz4::kMaxInput));
  EXPECT_FALSE(lz4::plausible(2, 511) || lz4::plausible(lz4::kMaxInput + 1, 1) ||
               lz4::plausible(lz4::kMaxInput, lz4::kMaxInput + 1));
}

TEST(FileIo, WritesBufferWhatFitsAndReadsGoStraightThroughWhenLargerThanTheBuffer) {
  testing::TempDir dir;
  Bytes all;
  {
    auto w = unwrap(FileWriter::create(dir.file("w"), 8));
    // Each step: the bytes written, then what the file holds before any flush.
    for (auto [n, on_disk] :
         std::vector<std::pair<size_t, size_t>>{{3, 0}, {5, 0}, {1, 8}, {7, 8}, {8, 24}, {2, 24}}) {
      const Bytes chunk(n, static_cast<uint8_t>('a' + all.size() % 26));
      all.insert(all.end(), chunk.begin(), chunk.end());
      ASSERT_TRUE(w->write_all(chunk.data(), n).ok());
      EXPECT_EQ(testing::read_file(dir.file("w")).size(), on_disk) << all.size();
    }
  }  // destruction writes out the buffer
  EXPECT_EQ(testing::read_file(dir.file("w")), all);

  Bytes source(40);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i);
  auto input = std::make_unique<testing::MemoryInput>(source);
  testing::MemoryInput* raw = input.get();
  BufReader r(std::move(input), 8);
  Bytes got;
  for (auto [ask, give] : std::vector<std::pair<size_t, size_t>>{
           {3, 3}, {5, 5}, {8, 8}, {2, 2}, {9, 6}, {20, 16}, {4, 0}}) {
    Bytes buf(ask);
    EXPECT_EQ(unwrap(r.read(buf.data(), ask)), give) << ask;
    got.insert(got.end(), buf.begin(), buf.begin() + give);
  }
  EXPECT_EQ(got, source);
  EXPECT_EQ(raw->asked, (std::vector<size_t>{8, 8, 8, 20, 8}));

  // read_exact retries an interrupted read; any other error, or an early end, is returned.
  for (auto [fail_errno, want, code] : {std::tuple{EINTR, 10, -1}, {EIO, 10, EIO}, {0, 11, 0}}) {
    auto in = std::make_unique<testing::MemoryInput>(Bytes(10, 1), 3);
    in->fail_next = fail_errno != 0;
    in->fail_errno = fail_errno;
    BufReader br(std::move(in), 4);
    Bytes buf(want);
    const Status s = br.read_exact(buf.data(), buf.size());
    EXPECT_EQ(s.ok() ? -1 : s.error().code(), code) << fail_errno;
  }
}

TEST(Queue, ALingeringReceiverWakesForUrgentItemsAFullBatchOrTheLastSender) {
  constexpr auto kForever = std::chrono::hours(1);  // a missed wake-up hangs the test
  auto [tx, rx] = make_queue<int>();
  std::deque<int> got;
  std::thread urgent([&, &tx = tx] {
    EXPECT_FALSE(tx.send(1));
    EXPECT_FALSE(tx.send(2, /*urgent=*/true));
  });
  while (got.size() < 2) EXPECT_TRUE(rx.recv_all(got, kForever));
  urgent.join();
  std::thread batch([&, &tx = tx] {
    for (size_t i = 0; i < kWakeBatch; ++i) EXPECT_FALSE(tx.send(0));
  });
  while (got.size() < 2 + kWakeBatch) EXPECT_TRUE(rx.recv_all(got, kForever));
  batch.join();
  EXPECT_EQ(got.front(), 1);
  // Being woken does not cut the next linger short: an item sent without urgency
  // waits for it to pass.
  constexpr auto kLinger = std::chrono::milliseconds(30);
  EXPECT_FALSE(tx.send(3));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(rx.recv_all(got, kLinger));
  EXPECT_GE(std::chrono::steady_clock::now() - start, kLinger);
  std::thread leave([tx = std::move(tx)] {});
  EXPECT_FALSE(rx.recv_all(got, kForever));
  leave.join();
}

}  // namespace
}  // namespace zel
