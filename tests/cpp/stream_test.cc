#include <gtest/gtest.h>
#include <lz4.h>

#include <cmath>
#include <thread>

#include "base/log.h"
#include "record/stream_writer.h"
#include "record/table_loader.h"
#include "tests/cpp/support.h"

namespace zel::record {
namespace {

using format::Decl;
using format::Record;
using testing::encoded;
using testing::MemoryInput;
using testing::panic_message;
using testing::read_all;
using testing::system_header;

// The body a blob carries, decompressed by LZ4 itself.
Bytes body_of(std::span<const uint8_t> blob) {
  EXPECT_EQ(load_u32(blob.data()), blob.size() - 4);
  Bytes body(load_u32(blob.data() + 4));
  const int n = LZ4_decompress_safe(
      reinterpret_cast<const char*>(blob.data() + 8), reinterpret_cast<char*>(body.data()),
      static_cast<int>(blob.size() - 8), static_cast<int>(body.size()));
  EXPECT_EQ(n, static_cast<int>(body.size()));
  return body;
}

Bytes blob_of(const Bytes& body) {
  return encoded([&](Output& o) { return format::write_blob(o, body); });
}

Bytes record_blob(const format::Decoded& d) {
  return encoded([&](Output& o) {
    if (const Decl* decl = std::get_if<Decl>(&d)) return format::write_decl(o, *decl);
    return format::write_frame(o, std::get<Record>(d));
  });
}

// The header, then each record; `ends` receives where each record's blob ends.
Bytes stream_of(const format::Header& h, const std::vector<format::Decoded>& records,
                std::vector<size_t>* ends = nullptr) {
  Bytes b = encoded([&](Output& o) { return format::write_header(o, h); });
  for (const auto& d : records) {
    const Bytes blob = record_blob(d);
    b.insert(b.end(), blob.begin(), blob.end());
    if (ends) ends->push_back(b.size());
  }
  return b;
}

read::Reader reader_of(Bytes bytes, size_t chunk = SIZE_MAX) {
  return unwrap(read::Reader::open(std::make_unique<MemoryInput>(std::move(bytes), chunk)));
}

// Declarations and frames at random over the first 0 to 8 system columns.
std::pair<format::Header, std::vector<format::Decoded>> generate(std::mt19937& rng) {
  format::Header h = system_header(rng() % 2);
  h.columns.resize(rng() % 9);
  const size_t c = h.columns.size();
  std::vector<format::Decoded> records;
  for (size_t n = 1 + rng() % 10, users = 0; n > 0; --n) {
    if (rng() % 3 == 0) {
      records.push_back(Decl{static_cast<uint16_t>(c + users), {"m" + std::to_string(users), "s"}});
      ++users;
      continue;
    }
    Record r{std::vector<double>(c), {}, std::nullopt};
    for (double& v : r.system) v = (static_cast<double>(rng() % 2001) - 1000) / 8;
    for (size_t k = 0; k < users; ++k)
      if (rng() % 2) r.user.emplace_back(c + k, rng() % 100 / 4.0);
    std::shuffle(r.user.begin(), r.user.end(), rng);
    if (rng() % 3 == 0) r.flame = Bytes(1 + rng() % 300, static_cast<uint8_t>(rng()));
    records.push_back(std::move(r));
  }
  return {h, records};
}

TEST(StreamFormat, GoldenHeaderDeclarationAndFrame) {
  // Eight columns after the magic, the version and the flame flag: u16-prefixed texts.
  constexpr char kHeader[] =
      "ZEL1\x02\0\0\x08\0\x08\0frame_ms\x02\0ms\x09\0memory_mb\x02\0MB\x05\0io_ms\x02\0ms"
      "\x05\0io_MB\x02\0MB\x08\0gpu_util\x01\0%\x06\0gpu_sm\x01\0%\x09\0gpu_power\x01\0W"
      "\x07\0gpu_mem\x02\0MB";
  EXPECT_EQ(stream_of(system_header(), {}), Bytes(kHeader, kHeader + sizeof kHeader - 1));
  // A body too short for a match is one LZ4 token and its literals.
  EXPECT_EQ(record_blob(Decl{8, {"fps", ""}}),
            (Bytes{0x0F, 0, 0, 0, 0x0A, 0, 0, 0, 0xA0, 1, 8, 0, 3, 0, 'f', 'p', 's', 0, 0}));
  EXPECT_EQ(body_of(record_blob(Record{{1.5}, {{9, -2.0}}, Bytes{'x'}})),
            (Bytes{0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 1, 0, 9, 0,
                   0, 0, 0, 0, 0, 0, 0, 0xC0, 1,    0, 0, 0, 'x'}));
  const Bytes plain = body_of(record_blob(Record{std::vector<double>(8, 0.5), {}, Bytes{}}));
  EXPECT_EQ(plain.size(), 71u);
  EXPECT_EQ(load_u32(plain.data() + 67), 0u);  // an empty flame is written as none
}

TEST(StreamFormat, OverwideFieldsAreCutToFit) {
  std::string name(65534, 'a');
  name += "\xC3\xA9";  // straddles the 65535-byte limit
  format::Header h{{{name, std::string(70000, 'u')}}, 2, false};
  h.columns.resize(65536);
  read::Reader r = reader_of(stream_of(h, {}));
  ASSERT_EQ(r.columns().size(), 65535u);
  EXPECT_EQ(r.columns()[0], (format::Column{std::string(65534, 'a'), std::string(65535, 'u')}));
  const Record many{{}, std::vector<std::pair<uint16_t, double>>(65536, {7, 1}), {}};
  const auto back = format::try_read_record(record_blob(many), 0);
  EXPECT_EQ(std::get<Record>(back->second).user.size(), 65535u);
}

TEST(StreamFormat, ADamagedHeaderIsFatal) {
  const Bytes h = stream_of(system_header(), {});
  auto damaged = [&](size_t at, uint8_t value) {
    Bytes b = h;
    b[at] = value;
    return unwrap(read::Reader::open(std::make_unique<MemoryInput>(b)));
  };
  EXPECT_TRUE(damaged(6, 7).flame_enabled());  // any non-zero flag
  EXPECT_EQ(panic_message([&] { damaged(4, 1); }),
            "assertion `left == right` failed: unsupported .zel version\n  left: 1\n right: 2");
  EXPECT_EQ(panic_message([&] { damaged(11, 0xFF); }),
            "invalid utf-8 in .zel string field: invalid byte at offset 0");
}

TEST(StreamReader, GeneratedStreamsReadAlikeInEveryReadSizeAndLoadAsATable) {
  std::mt19937 rng(2);
  auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
  for (int round = 0; round < 30; ++round) {
    const auto [h, records] = generate(rng);
    std::vector<size_t> ends;
    const Bytes bytes = stream_of(h, records, &ends);
    const size_t c = h.columns.size(), header = stream_of(h, {}).size();
    std::vector<format::Column> users;
    std::vector<Record> frames;
    for (const auto& d : records) {
      if (const Decl* decl = std::get_if<Decl>(&d)) users.push_back(decl->column);
      if (const Record* r = std::get_if<Record>(&d)) frames.push_back(*r);
      // A body that ends inside a field is fatal; bytes after the last field are not.
      Bytes body = body_of(record_blob(d));
      for (size_t cut = 0; cut < body.size(); ++cut) {
        const Bytes blob = blob_of(Bytes(body.begin(), body.begin() + cut));
        EXPECT_EQ(panic_message([&] { (void)format::try_read_record(blob, c); }),
                  "called `Result::unwrap()` on an `Err` value: Error { kind: UnexpectedEof, "
                  "message: \"failed to fill whole buffer\" }");
      }
      body.push_back(0x55);
      EXPECT_TRUE(format::try_read_record(blob_of(body), c));
    }
    for (size_t chunk : {size_t{1}, size_t{7}, SIZE_MAX}) {
      // The file ends anywhere after the header at first; then the writer goes on.
      const size_t cut = header + rng() % (bytes.size() - header + 1);
      auto input = std::make_unique<MemoryInput>(Bytes(bytes.begin(), bytes.begin() + cut), chunk);
      MemoryInput* file = input.get();
      read::Reader r = unwrap(read::Reader::open(std::move(input)));
      EXPECT_EQ(r.columns(), h.columns);
      EXPECT_EQ(r.flame_enabled(), h.flame_enabled);
      file->fail_next = 1;  // a read error is returned, and the next call resumes
      std::vector<read::ReadFrame> got;
      int errors = 0;
      auto read_on = [&] {
        for (auto f = r.next_frame(); !f.ok() || f.value(); f = r.next_frame()) {
          if (f.ok()) got.push_back(std::move(*f.value()));
          errors += !f.ok() && f.error().code() == EIO;
        }
      };
      read_on();  // every record whole before the cut, and nothing after it
      size_t whole[2] = {0, 0};
      for (size_t i = 0; i < records.size() && ends[i] <= cut; ++i) ++whole[records[i].index()];
      EXPECT_EQ(std::pair(r.user_columns().size(), got.size()), std::pair(whole[0], whole[1]));
      file->bytes = bytes;
      read_on();
      EXPECT_EQ(errors, 1);
      EXPECT_EQ(r.user_columns(), users);
      ASSERT_EQ(got.size(), frames.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::tie(got[i].system, got[i].flame),
                  std::tie(frames[i].system, frames[i].flame));
        std::vector<std::pair<std::string, double>> named;
        for (auto [id, v] : frames[i].user) named.emplace_back(users[id - c].name, v);
        EXPECT_EQ(got[i].user, named);
      }
    }
    const read::Table t = unwrap(read::load_table(reader_of(bytes)));
    EXPECT_EQ(std::tuple(t.system_count, t.flame_enabled, t.frame_count, t.columns.size(),
                         t.user.size(), t.damage.has_value()),
              std::tuple(c, h.flame_enabled, frames.size(), c + users.size(), users.size(), false));
    // The table back as rows: system values, then the user values a frame holds.
    std::vector<std::vector<double>> rows(frames.size(),
                                          std::vector<double>(t.columns.size(), NAN));
    for (size_t i = 0; i < c; ++i) {
      ASSERT_EQ(t.system[i].size(), frames.size());
      for (size_t f = 0; f < frames.size(); ++f) rows[f][i] = t.system[i][f];
    }
    for (size_t k = 0; k < t.user.size(); ++k) {
      ASSERT_EQ(t.user[k].frames.size(), t.user[k].values.size());
      for (size_t j = 0; j < t.user[k].frames.size(); ++j) {
        if (j > 0) {
          EXPECT_LT(t.user[k].frames[j - 1], t.user[k].frames[j]);
        }
        rows[static_cast<size_t>(t.user[k].frames[j])][c + k] = t.user[k].values[j];
      }
    }
    std::vector<std::pair<uint64_t, Bytes>> flames;
    for (size_t f = 0; f < frames.size(); ++f) {
      std::vector<double> want(t.columns.size(), NAN);
      std::copy(frames[f].system.begin(), frames[f].system.end(), want.begin());
      for (auto [id, v] : frames[f].user) want[id] = v;
      for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(same(rows[f][i], want[i]));
      if (frames[f].flame) flames.emplace_back(f, *frames[f].flame);
    }
    EXPECT_EQ(t.flames, flames);
  }
}

TEST(StreamReader, ADamagedRecordFailsAndReadingGoesOnWhereItCan) {
  auto frame = [](double v, std::vector<std::pair<uint16_t, double>> user = {}) {
    return Record{std::vector<double>(8, v), std::move(user), std::nullopt};
  };
  const Bytes decl = blob_of({1, 8, 0, 0, 0, 0, 0});
  auto with_r = [&](uint32_t r) {
    Bytes b = decl;
    store_u32(b.data() + 4, r);
    return b;
  };
  Bytes broken = blob_of(Bytes(100, 7));
  broken[8] = 0xFF;  // a literal run longer than the block
  const auto block = static_cast<uint32_t>(decl.size() - 8);
  const std::string undeclared = "undeclared .zel user column id ",
                    declared = " (1 user columns declared from id 8)",
                    undecodable = "corrupt .zel blob: the LZ4 block does not decode",
                    implausible = "cannot come from an LZ4 block of " + std::to_string(block);
  struct Case {
    Bytes tail;
    std::string message;
    bool dropped;  // else the same failure on every call
  };
  for (const auto& [bytes, message, dropped] : std::vector<Case>{
           {record_blob(frame(1, {{7, 1}})), undeclared + '7' + declared, true},
           {record_blob(frame(1, {{8, 1}, {9, 1}})), undeclared + '9' + declared, true},
           {Bytes{0, 0, 0, 0}, "corrupt .zel blob: length 0 below 4", false},
           {Bytes{3, 0, 0, 0, 0, 0, 0}, "corrupt .zel blob: length 3 below 4", false},
           {Bytes{4, 0, 0, 0, 0, 0, 0, 0}, undecodable, false},
           {with_r(block * 255 + 1), implausible, false},
           {with_r(block * 255), undecodable, false},
           {with_r(0xFFFFFFFF), implausible, false},
           {with_r(6), undecodable, false},
           {broken, undecodable, false},
           {blob_of({2, 0, 0}), "unknown .zel record tag 2", false},
           {blob_of({1, 9, 0, 1, 0, 0xFF, 0, 0}), "invalid utf-8 in .zel string field", false},
       }) {
    Bytes b = stream_of(system_header(), {Decl{8, {"a", ""}}});
    b.insert(b.end(), bytes.begin(), bytes.end());
    const Bytes good = record_blob(frame(5));
    b.insert(b.end(), good.begin(), good.end());
    read::Reader r = reader_of(b, 40);
    const std::string first = panic_message([&] { (void)r.next_frame(); });
    EXPECT_NE(first.find(message), std::string::npos) << first;
    EXPECT_EQ(panic_message([&] { EXPECT_EQ(unwrap(r.next_frame())->system[0], 5.0); }),
              dropped ? "" : first);
    // The table keeps the frame before the damage and says where the damage starts.
    Bytes before = stream_of(system_header(), {Decl{8, {"a", ""}}, frame(4)});
    const size_t at = before.size() + (dropped ? bytes.size() : 0);
    before.insert(before.end(), bytes.begin(), bytes.end());
    before.insert(before.end(), good.begin(), good.end());
    const read::Table t = unwrap(read::load_table(reader_of(before, 40)));
    ASSERT_TRUE(t.damage);
    EXPECT_EQ(std::tuple(t.frame_count, t.damage->offset, t.damage->frames),
              std::tuple(size_t{1}, uint64_t{at}, uint64_t{1}));
    EXPECT_NE(t.damage->message.find(message), std::string::npos) << t.damage->message;
  }
  // A length with only part of its record behind it yet is waited for; a zero length is
  // damage even as the file's last four bytes, not a record to wait for.
  for (uint32_t length : {1'000'000u, 0u}) {
    Bytes b = stream_of(system_header(), {});
    put_u32(b, length);
    b.resize(b.size() + (length ? 100 : 0));
    read::Reader r = reader_of(b, 40);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(panic_message([&] { EXPECT_FALSE(unwrap(r.next_frame())); }),
                length ? "" : "corrupt .zel blob: length 0 below 4");
  }
}

// Queues a flush and waits for the writer's acknowledgement.
bool flush(Sender<writer::Msg>& s) {
  auto [ack, done] = make_rendezvous();
  return !writer::send(s, writer::FlushMsg{std::move(ack)}) && done.recv();
}

std::atomic<int> exit_events{0};
void count_exit(log::Level level, std::string_view target, std::string_view message) {
  exit_events += level == log::Level::Info && target == "zel::record::writer" &&
                 message == "zel-record writer exiting";
}

TEST(StreamWriter, WritesEveryMessageInOrderBeforeAFlushIsAcknowledgedAndEndsWithTheSenders) {
  testing::TempDir dir;
  const std::string path = dir.file("c.zel");
  std::ofstream(path) << std::string(5000, 'x');  // an old file, truncated
  auto previous = log::set_sink(count_exit);
  {
    auto tx = writer::start(path, system_header(true));
    EXPECT_FALSE(writer::send(tx, Decl{8, {"fps", "Hz"}}));
    for (int i = 0; i < 300; ++i)
      EXPECT_FALSE(writer::send(tx, Record{std::vector<double>(8, i), {{8, 1.0}}, {}}));
    ASSERT_TRUE(flush(tx));
    auto r = unwrap(read::Reader::open(path));
    EXPECT_TRUE(r.flame_enabled());
    const auto frames = read_all(r);
    ASSERT_EQ(frames.size(), 300u);
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].system[0], i);
    EXPECT_EQ(r.user_columns(), (std::vector<format::Column>{{"fps", "Hz"}}));
  }  // the last sender leaves: the thread ends with a log event
  EXPECT_TRUE(testing::eventually([] { return exit_events == 1; }));
  log::set_sink(previous);
}

TEST(StreamWriter, AFileThatCannotBeWrittenEndsOnlyTheWriterThread) {
  for (auto [path, message] : std::vector<std::pair<std::string, std::string>>{
           {"/nonexistent-zel-dir/\"q\".zel",
            "thread 'zel-record' panicked: create \"/nonexistent-zel-dir/\\\"q\\\".zel\": No such "
            "file or directory (os error 2)\n"},
           {"/dev/full",
            "thread 'zel-record' panicked: called `Result::unwrap()` on an `Err` value: Os { code: "
            "28, kind: StorageFull, message: \"No space left on device\" }\n"},
       }) {
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) continue;
    ::testing::internal::CaptureStderr();
    auto tx = writer::start(path, system_header());
    // Once the thread is gone a message comes back and a flush finds no receiver, and
    // by then the diagnostic is out: a program that stops at the first failure has it.
    EXPECT_TRUE(testing::eventually([&] { return writer::send(tx, Record{}).has_value(); }));
    EXPECT_FALSE(flush(tx));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), message);
  }
}

}  // namespace
}  // namespace zel::record
