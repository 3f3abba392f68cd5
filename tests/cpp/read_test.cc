#include "record/stream_reader.h"

#include <gtest/gtest.h>

#include "tests/cpp/support.h"

namespace zel::record::read {
namespace {

using format::Record;
using testing::MemoryInput;
using testing::MemoryOutput;
using testing::panic_message;
using testing::system_header;
using testing::TempDir;

// Builds a stream in memory, record by record.
struct StreamBuilder {
  MemoryOutput out;
  explicit StreamBuilder(const format::Header& h = system_header()) {
    EXPECT_TRUE(format::write_header(out, h).ok());
  }
  StreamBuilder& decl(uint16_t id, const std::string& name, const std::string& unit = "") {
    EXPECT_TRUE(format::write_decl(out, {id, {name, unit}}).ok());
    return *this;
  }
  StreamBuilder& frame(double first, std::vector<std::pair<uint16_t, double>> user = {},
                       std::optional<Bytes> flame = std::nullopt) {
    std::vector<double> system(8, 0.0);
    system[0] = first;
    EXPECT_TRUE(format::write_frame(out, Record{system, std::move(user), std::move(flame)}).ok());
    return *this;
  }
  const Bytes& bytes() const { return out.bytes; }
};

Reader open_bytes(const Bytes& bytes, size_t chunk = SIZE_MAX) {
  auto r = Reader::open(std::make_unique<MemoryInput>(bytes, chunk));
  EXPECT_TRUE(r.ok());
  return r.take();
}

std::optional<ReadFrame> next(Reader& r) {
  auto f = r.next_frame();
  EXPECT_TRUE(f.ok());
  return f.ok() ? std::move(f.value()) : std::nullopt;
}

TEST(Reader, HeaderOnlyStreamHasColumnsAndNoFrames) {
  Reader r = open_bytes(StreamBuilder(system_header(true)).bytes());
  ASSERT_EQ(r.columns().size(), 8u);
  EXPECT_EQ(r.columns()[3].name, "io_MB");
  EXPECT_EQ(r.columns()[3].unit, "MB");
  EXPECT_TRUE(r.flame_enabled());
  EXPECT_FALSE(next(r));
  EXPECT_TRUE(r.user_columns().empty());
}

TEST(Reader, DeclarationsAreAbsorbedAndNameTheValues) {
  StreamBuilder s;
  s.decl(8, "fps", "Hz").frame(1.0, {{8, 60.0}}).decl(9, "loss").frame(2.0, {{9, 0.5}, {8, 30.0}});
  Reader r = open_bytes(s.bytes(), 7);  // small reads: records straddle them
  auto f1 = next(r);
  ASSERT_TRUE(f1);
  EXPECT_EQ(f1->system[0], 1.0);
  EXPECT_EQ(f1->user, (std::vector<std::pair<std::string, double>>{{"fps", 60.0}}));
  ASSERT_EQ(r.user_columns().size(), 1u);
  EXPECT_EQ(r.user_columns()[0].unit, "Hz");
  auto f2 = next(r);
  ASSERT_TRUE(f2);
  EXPECT_EQ(f2->user, (std::vector<std::pair<std::string, double>>{{"loss", 0.5}, {"fps", 30.0}}));
  EXPECT_FALSE(next(r));
}

TEST(Reader, TrailingDeclarationIsVisibleWithoutAFrame) {
  Reader r = open_bytes(StreamBuilder().frame(1.0).decl(8, "fps").bytes());
  EXPECT_TRUE(next(r));
  EXPECT_FALSE(next(r));
  EXPECT_EQ(r.user_columns().size(), 1u);
}

TEST(Reader, GrowingFileIsPickedUpWhereItStopped) {
  TempDir dir;
  std::string path = dir.file("grow.zel");
  StreamBuilder s;
  s.frame(1.0).frame(2.0, {}, Bytes(300, 'x')).frame(3.0);
  const Bytes& all = s.bytes();
  size_t header = 111;
  size_t cut = all.size() - 20;  // inside the last blob
  testing::write_file(path, Bytes(all.begin(), all.begin() + cut));

  auto opened = Reader::open(path);
  ASSERT_TRUE(opened.ok());
  Reader r = opened.take();
  EXPECT_EQ(next(r)->system[0], 1.0);
  EXPECT_EQ(next(r)->flame->size(), 300u);
  EXPECT_FALSE(next(r));
  EXPECT_FALSE(next(r));
  testing::append_file(path, all.data() + cut, all.size() - cut);
  auto last = next(r);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->system[0], 3.0);
  EXPECT_FALSE(next(r));
  EXPECT_GT(cut, header);
}

TEST(Reader, BlobLengthBeyondTheFileWaitsWithoutError) {
  StreamBuilder s;
  s.frame(1.0);
  Bytes bytes = s.bytes();
  put_u32(bytes, 1'000'000);  // a length field with nothing behind it
  bytes.resize(bytes.size() + 100, 0);
  Reader r = open_bytes(bytes, 40);
  EXPECT_TRUE(next(r));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(next(r));
}

TEST(Reader, OutOfOrderDeclarationFailsThenReadingGoesOn) {
  Reader r = open_bytes(StreamBuilder().decl(9, "skips").frame(5.0).bytes());
  EXPECT_EQ(panic_message([&] { (void)r.next_frame(); }),
            "assertion `left == right` failed: out-of-order .zel column declaration\n"
            "  left: 9\n right: 8");
  EXPECT_TRUE(r.user_columns().empty());
  EXPECT_EQ(next(r)->system[0], 5.0);
}

TEST(Reader, UndeclaredUserIdFailsAndDropsOnlyThatFrame) {
  Reader r =
      open_bytes(StreamBuilder().frame(1.0, {{8, 1.0}}).frame(2.0, {{7, 1.0}}).frame(3.0).bytes());
  EXPECT_NE(panic_message([&] { (void)r.next_frame(); }).find("undeclared"), std::string::npos);
  EXPECT_NE(panic_message([&] { (void)r.next_frame(); }).find("undeclared"), std::string::npos);
  EXPECT_EQ(next(r)->system[0], 3.0);
}

TEST(Reader, DamagedBlobFailsTheSameWayOnEveryCall) {
  Bytes bytes = StreamBuilder().frame(1.0).bytes();
  bytes[111 + 8] ^= 0xFF;  // first byte of the block
  Reader r = open_bytes(bytes);
  std::string first = panic_message([&] { (void)r.next_frame(); });
  EXPECT_NE(first, "");
  EXPECT_EQ(panic_message([&] { (void)r.next_frame(); }), first);
}

TEST(Reader, ReadErrorIsReturnedAndTheNextCallResumes) {
  StreamBuilder s;
  s.frame(1.0).frame(2.0);
  auto input = std::make_unique<MemoryInput>(s.bytes(), 150);
  MemoryInput* raw = input.get();
  auto opened = Reader::open(std::move(input));
  ASSERT_TRUE(opened.ok());
  Reader r = opened.take();
  raw->fail_next = 1;
  // The header read left bytes in the buffer, so the first frame needs no read...
  auto first = r.next_frame();
  if (first.ok()) {
    ASSERT_TRUE(first.value());
    first = r.next_frame();
  }
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().code(), EIO);
  // ...and after the error nothing is lost.
  std::vector<double> seen;
  while (auto f = next(r)) seen.push_back(f->system[0]);
  EXPECT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 2.0);
}

}  // namespace
}  // namespace zel::record::read
