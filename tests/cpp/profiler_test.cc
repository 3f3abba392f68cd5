#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/lz4_block.h"
#include "profiler/flame_format.h"
#include "profiler/thread_profiler.h"
#include "tests/cpp/support.h"

namespace profiler {
namespace {

using zel::Bytes;
using zel::oracle::Scope;
using zel::testing::panic_message;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes le64(int64_t v) {
  Bytes b(8);
  zel::store_fixed(b.data(), v);
  return b;
}

NanoSecond fake_now = 0;  // a clock that advances 1000 ns at every read
NanoSecond fake_clock() {
  return fake_now += 1000;
}

struct Report {
  ThreadInfo info;
  size_t details;
  StreamInfo stream;
};
std::vector<Report> reports;
void keep_report(ThreadInfo info, std::span<const ScopeDetails> details, const StreamInfoRef& s) {
  reports.push_back({info, details.size(), {}});
  reports.back().stream.extend(s);
}

// A profiler of its own, on the fake clock, keeping every report.
struct Recorded : ThreadProfiler {
  Recorded() {
    set_clock(fake_clock);
    set_reporter(keep_report);
  }
};

// Opens and closes `ops` scopes on `p` in random nesting at most six deep, each with an
// id from 1 to 9 and now and then a data text, then closes what is still open. Returns
// the outermost scopes as the stream must hold them.
std::vector<Scope> record_random_scopes(ThreadProfiler& p, std::mt19937& rng, int ops) {
  std::vector<Scope> top;
  std::vector<std::pair<Scope, size_t>> open;  // with the offset begin_scope gave
  auto close = [&] {
    p.end_scope(open.back().second);
    Scope s = std::move(open.back().first);
    s.stop = fake_now;
    open.pop_back();
    (open.empty() ? top : open.back().first.children).push_back(std::move(s));
  };
  for (int i = 0; i < ops; ++i) {
    if (!open.empty() && (open.size() >= 6 || rng() % 2)) {
      close();
      continue;
    }
    const auto id = static_cast<ScopeId>(1 + rng() % 9);
    const std::string data(rng() % 4 ? 0 : rng() % 128, static_cast<char>('a' + rng() % 26));
    const size_t at = p.begin_scope(id, data);
    open.emplace_back(Scope{id, fake_now, 0, data, {}}, at);
  }
  while (!open.empty()) close();
  return top;
}

TEST(ThreadProfiler, GoldenRecordsEndsOfScopesThatAreNotOpenAndDataCutAtACharacter) {
  fake_now = 0;
  reports.clear();
  Recorded p;
  p.register_scope({7, std::nullopt, "draw", "", 0});
  EXPECT_EQ(p.begin_scope(1, ""), 14u);  // the offset of the size field
  p.end_scope(14);
  p.end_scope(p.begin_scope(2, "hi"));
  ::testing::internal::CaptureStderr();
  p.end_scope(14);  // ended twice: nothing open, the segment was reported
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "profiler ERROR: Mismatched scope begin/end calls\n");
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].stream.stream,
            concat({{0x28, 1, 0, 0, 0}, le64(1000), {0}, le64(0), {0x29}, le64(2000)}));
  EXPECT_EQ(reports[1].stream.stream,
            concat({{0x28, 2, 0, 0, 0}, le64(3000), {2, 'h', 'i'}, le64(0), {0x29}, le64(4000)}));
  EXPECT_EQ(reports[2].stream.stream, concat({{0x29}, le64(5000)}));  // a lone end record
  // Every report has the thread's first start; the queued description goes with the next.
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(std::tuple(reports[i].info, reports[i].details, reports[i].stream.num_scopes),
              std::tuple(ThreadInfo{1000, ""}, i == 0 ? 1u : 0u, 1u));
  }

  const size_t outer = p.begin_scope(1, "");
  const size_t child = p.begin_scope(2, "");
  p.end_scope(child);
  const size_t next = p.begin_scope(3, "");
  p.end_scope(child);     // stale: the child's bytes stay
  p.end_scope(next + 3);  // not a size field at all; the depth is back to 0
  ASSERT_EQ(reports.size(), 4u);
  const Bytes& s = reports[3].stream.stream;
  EXPECT_EQ(zel::load_fixed<uint64_t>(s.data() + child), 0u);
  EXPECT_EQ(zel::load_fixed<uint64_t>(s.data() + next), scope_record::kOpenSize);
  EXPECT_EQ(s[next + 8], scope_record::kEndTag);
  EXPECT_EQ(zel::load_fixed<uint64_t>(s.data() + outer), scope_record::kOpenSize);

  for (auto [data, kept] :
       std::vector<std::pair<std::string, size_t>>{{std::string(127, 'a'), 127},
                                                   {std::string(128, 'a'), 127},
                                                   {std::string(126, 'a') + "\xC3\xA9", 126},
                                                   {std::string(125, 'a') + "\xC3\xA9", 127},
                                                   {std::string(200, '\x80'), 0}}) {
    p.end_scope(p.begin_scope(1, data));
    EXPECT_EQ(zel::oracle::parse_stream(reports.back().stream.stream).at(0).data,
              data.substr(0, kept));
  }
}

TEST(ThreadProfilerAccess, IsPerThreadAndNotReentrant) {
  EXPECT_EQ(panic_message(
                [] { ThreadProfiler::call([](auto&) { ThreadProfiler::call([](auto&) {}); }); }),
            "this thread's scope profiler is already in use");
  // A thread-local made before the profiler is destroyed after it, as the thread ends.
  struct UsesTheProfilerLast {
    std::string* message;
    ~UsesTheProfilerLast() {
      *message = panic_message([] { ThreadProfiler::call([](auto&) {}); });
    }
  };
  std::string at_thread_end;
  std::thread([&] {
    thread_local UsesTheProfilerLast last{&at_thread_end};
    ThreadProfiler::call([](auto&) {});
  }).join();
  EXPECT_EQ(at_thread_end,
            "this thread's scope profiler is no longer available: the thread is ending");
}

TEST(Clock, FollowsTheWallClockAndAdvancesWithTheMonotonicOne) {
  using namespace std::chrono;
  const NanoSecond t0 = now_ns();
  const auto wall = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  EXPECT_LT(std::abs(t0 - wall), 50'000'000) << "tsc: " << clock_uses_tsc();
  const auto m0 = steady_clock::now();
  std::vector<NanoSecond> readings(100000);
  for (NanoSecond& t : readings) t = now_ns();
  EXPECT_TRUE(std::is_sorted(readings.begin(), readings.end()) && readings[0] >= t0);
  std::this_thread::sleep_for(milliseconds(30));
  const NanoSecond elapsed = now_ns() - t0;
  const auto steady = duration_cast<nanoseconds>(steady_clock::now() - m0).count();
  EXPECT_LT(std::abs(elapsed - steady), steady / 1000 + 2000);  // the rate, to a few ppm
}

// Frames of a few threads of random nesting: both decoders read them as recorded, with
// the counts, depths and time ranges of what was recorded, and every truncation or
// changed byte is refused with a Panic or read alike by both.
TEST(FlameFormat, GeneratedFramesDecodeAsRecordedAndDamageIsOnlyEverAPanic) {
  std::mt19937 rng(11);
  for (uint64_t round = 0; round < 12; ++round) {
    std::map<ThreadInfo, StreamInfo> streams;
    std::map<ThreadInfo, std::vector<Scope>> model;
    for (int t = 0, n = 1 + rng() % 3; t < n; ++t) {
      Recorded p;
      reports.clear();
      const ThreadInfo info{rng() % 4 ? std::optional(fake_now) : std::nullopt,
                            t ? "zel-" + std::to_string(t) : ""};
      model[info] = record_random_scopes(p, rng, 2 + rng() % 20);
      ASSERT_EQ(reports.size(), model[info].size());  // one report per outermost scope
      for (const Report& r : reports) streams[info].extend(r.stream.view());
    }
    ScopeCollection collection;
    for (ScopeId id = 1; id <= round % 4; ++id)
      collection.insert(std::make_shared<const ScopeDetails>(ScopeDetails{
          id, id % 2 ? std::optional<std::string>("s") : std::nullopt, "f", "a.py", id}));
    auto frame = FrameData::create(round, std::move(streams), {}, false);
    Bytes bytes, again;
    frame->write_into(&collection, bytes);
    EXPECT_FALSE(frame->holds_unpacked());  // written once, packed for good
    frame->write_into(nullptr, again);
    const zel::oracle::Frame strict = zel::oracle::decode(bytes);
    const DecodedFlame core = decode_flame(bytes);
    ASSERT_NO_THROW(zel::oracle::expect_agree(strict, core));
    EXPECT_EQ(zel::oracle::decode(again).packed, strict.packed);
    EXPECT_TRUE(zel::oracle::decode(again).scopes.empty());  // this frame's delta: none
    EXPECT_EQ(strict.scopes.size(), collection.scope_id_to_details().size());
    for (const auto& d : strict.scopes)
      EXPECT_EQ(d, *collection.scope_id_to_details().at(*d.scope_id));
    FrameMeta meta{round, kEmptyRange, 0, 0};
    ASSERT_EQ(strict.threads.size(), model.size());
    size_t i = 0;
    for (const auto& [info, trees] : model) {
      const zel::oracle::Thread& t = strict.threads[i];
      const auto& flat = core.threads[i++].scopes;
      uint64_t depth = 0;
      for (const auto& d : flat) depth = std::max<uint64_t>(depth, d.depth + 1);
      EXPECT_EQ(std::tie(t.info, t.scopes), std::tie(info, trees));
      EXPECT_EQ(std::tuple(t.num_scopes, t.depth, t.range),
                std::tuple(flat.size(), depth, RangeNs{trees.front().start, trees.back().stop}));
      meta.range_ns = {std::min(meta.range_ns.first, t.range.first),
                       std::max(meta.range_ns.second, t.range.second)};
      meta.num_bytes += t.stream.size();
      meta.num_scopes += t.num_scopes;
    }
    EXPECT_EQ(std::tie(strict.meta.frame_index, strict.meta.range_ns, strict.meta.num_bytes,
                       strict.meta.num_scopes),
              std::tie(meta.frame_index, meta.range_ns, meta.num_bytes, meta.num_scopes));

    for (size_t n = 0; n < bytes.size(); ++n)
      EXPECT_THROW(decode_flame({bytes.data(), n}), zel::Panic) << n;
    for (size_t i = 0; i < bytes.size() * 2; ++i) {
      Bytes b = bytes;
      b[i / 2] ^= i % 2 ? 0xFF : 0x01;
      try {
        const DecodedFlame core = decode_flame(b);
        for (const auto& th : core.threads) zel::oracle::expect_well_formed(th.scopes);
        zel::oracle::expect_agree(zel::oracle::decode(b), core);
      } catch (const zel::Panic&) {          // refused by the core decoder
      } catch (const std::runtime_error&) {  // refused by the strict decoder only
      } catch (const std::logic_error& e) {
        ADD_FAILURE() << e.what() << " with byte " << i / 2 << " changed";
      }
    }
  }
}

TEST(FlameFormat, HandBuiltFramesAreReadOrRefusedByName) {
  auto frame = [](Bytes meta, Bytes map, Bytes list, uint8_t kind = 1) {
    Bytes packed(4);
    zel::store_u32(packed.data(), static_cast<uint32_t>(map.size()));
    zel::lz4::compress_append(map, packed);
    Bytes out = {'P', 'F', 'D', '4'};
    for (const Bytes* part : {&meta, &packed, &list}) {
      zel::put_u32(out, static_cast<uint32_t>(part->size()));
      if (part == &packed) out.push_back(kind);
      out.insert(out.end(), part->begin(), part->end());
    }
    return out;
  };
  const Bytes meta = {0, 0, 0, 0, 0}, thread = {1, 0, 0, 0, 0, 0, 0, 0};  // empty, unnamed
  const Bytes entry = {1, 0, 0, 0, 0, 0};  // one description, every field empty
  const Bytes u32_max = {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}, u32_over = {0xFD, 0, 0, 0, 0, 1, 0, 0, 0};
  Bytes trailing = frame(meta, thread, entry), lying = trailing, implausible = trailing;
  trailing.push_back(0);
  zel::store_u32(lying.data() + 18, 9);  // the thread map's length, one too many
  zel::store_u32(implausible.data() + 18, 0x7FFFFFFF);
  for (const auto& [bytes, message] : std::vector<std::pair<Bytes, std::string>>{
           {frame(meta, thread, entry), ""},
           {frame(meta, thread, concat({{1, 1}, u32_max, {0, 0, 0}, u32_max})), ""},
           {frame(meta, thread, concat({{1, 1}, u32_over, {0, 0, 0, 0}})), "scope id out of range"},
           {frame(meta, thread, concat({{1, 0, 0, 0, 0}, u32_over})), "line number out of range"},
           {frame(meta, thread, {1, 2, 0, 0, 0, 0}), "bad option flag of scope id"},
           {frame(meta, {1, 2, 0, 0, 0, 0, 0, 0}, entry), "bad option flag of thread start"},
           {frame(meta, {2, 0, 0, 0, 0, 0, 0, 0}, entry), "thread count larger than its bytes"},
           {frame(meta, thread, {2, 0, 0, 0, 0, 0}), "scope count larger than its bytes"},
           {frame(meta, thread, entry, 2), "unknown compression kind 2"},
           {frame({0, 0, 0, 0, 0, 0}, thread, entry), "bytes after the meta"},
           {frame(meta, concat({thread, {0}}), entry), "bytes after the thread map"},
           {frame(meta, thread, concat({entry, {0}})), "bytes after the scope list"},
           {trailing, "bytes after the frame"},
           {lying, "LZ4 block does not match its length"},
           {implausible, "packed length larger than LZ4 allows"},
           {Bytes{'P', 'F', 'D', '3'}, "no \"PFD4\" magic"},
       }) {
    if (message.empty()) {
      EXPECT_NO_THROW(zel::oracle::expect_agree(zel::oracle::decode(bytes), decode_flame(bytes)));
    } else {
      EXPECT_EQ(panic_message([&b = bytes] { decode_flame(b); }),
                "malformed flame frame: " + message);
    }
  }
}

TEST(FlameFormat, ScopeStreamsNestByEndRecordsAndOpenScopesEndWithTheirStream) {
  auto begin = [](uint8_t id, int64_t start, std::string data = "") {  // size field left open
    return concat({{0x28, id, 0, 0, 0},
                   le64(start),
                   {static_cast<uint8_t>(data.size())},
                   Bytes(data.begin(), data.end()),
                   le64(-1)});
  };
  auto end = [](int64_t stop) { return concat({{0x29}, le64(stop)}); };
  // The first end, with nothing open, is skipped; scope 3 is still open, as is its parent.
  const Bytes stream = concat({end(5), begin(1, 10), begin(2, 20, "x=1"), end(30), begin(3, 200)});
  std::vector<DecodedScope> out(2);  // after another thread's scopes
  parse_scope_stream(stream, out, 99);
  std::vector<std::tuple<ScopeId, NanoSecond, NanoSecond, int64_t, uint32_t, bool, std::string>>
      got;
  for (const auto& s : out)
    got.emplace_back(s.id, s.start_ns, s.stop_ns, s.parent, s.depth, s.open, s.data);
  EXPECT_EQ(got, (decltype(got){{0, 0, 0, -1, 0, false, ""},
                                {0, 0, 0, -1, 0, false, ""},
                                {1, 10, 99, -1, 0, true, ""},
                                {2, 20, 30, 0, 1, false, "x=1"},
                                {3, 200, 200, 0, 1, true, ""}}));
  EXPECT_EQ(panic_message([&] {
              parse_scope_stream(concat({stream, {0x42}}), out);
            }),
            "malformed flame frame: unknown record tag 66 at stream byte " +
                std::to_string(stream.size()));
  Bytes cut = concat({stream, begin(4, 300)});
  cut.pop_back();  // read up to the size field, which is short
  EXPECT_EQ(panic_message([&] { parse_scope_stream(cut, out); }),
            "malformed flame frame: short begin record at stream byte " +
                std::to_string(stream.size() + 14));
}

}  // namespace
}  // namespace profiler
