#include "record/stream_format.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include "tests/cpp/support.h"

namespace zel::record::format {
namespace {

using testing::MemoryInput;
using testing::MemoryOutput;
using testing::panic_message;
using testing::system_header;

Bytes encode_header(const Header& h) {
  MemoryOutput out;
  EXPECT_TRUE(write_header(out, h).ok());
  return out.bytes;
}

Result<Header> decode_header(Bytes bytes, size_t chunk = SIZE_MAX) {
  BufReader in(std::make_unique<MemoryInput>(std::move(bytes), chunk));
  return read_header(in);
}

// The body a blob carries, decompressed.
Bytes body_of(const Bytes& blob) {
  uint32_t n = load_u32(blob.data()), r = load_u32(blob.data() + 4);
  EXPECT_EQ(blob.size(), 4u + n);
  Bytes body(r);
  int got = LZ4_decompress_safe(reinterpret_cast<const char*>(blob.data() + 8),
                                reinterpret_cast<char*>(body.data()), static_cast<int>(n - 4),
                                static_cast<int>(r));
  EXPECT_EQ(got, static_cast<int>(r));
  return body;
}

Bytes blob_of_body(const Bytes& body) {
  MemoryOutput out;
  EXPECT_TRUE(write_blob(out, body).ok());
  return out.bytes;
}

// A blob with the given N and R fields around `block`.
Bytes raw_blob(uint32_t n, uint32_t r, const Bytes& block) {
  Bytes b;
  put_u32(b, n);
  put_u32(b, r);
  put_bytes(b, block.data(), block.size());
  return b;
}

TEST(Header, SystemColumnsTake111Bytes) {
  Bytes h = encode_header(system_header());
  ASSERT_EQ(h.size(), 111u);
  EXPECT_EQ(Bytes(h.begin(), h.begin() + 9), (Bytes{'Z', 'E', 'L', '1', 2, 0, 0, 8, 0}));
  auto back = decode_header(h, 5);  // short reads are repeated
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().columns, system_header().columns);
  EXPECT_EQ(back.value().version, 2);
  EXPECT_FALSE(back.value().flame_enabled);
}

TEST(Header, ColumnSizesFollowTheirStrings) {
  Header h{{{"fps", ""}}, 2, true};
  EXPECT_EQ(encode_header(h).size(), 9u + 4 + 3);
  h.columns = {{"", ""}};
  EXPECT_EQ(encode_header(h).size(), 9u + 4);
  Bytes flagged = encode_header(h);
  flagged[6] = 7;  // any non-zero flag means flame is on
  EXPECT_TRUE(decode_header(flagged).value().flame_enabled);
}

TEST(Header, EveryTruncatedPrefixIsAnEarlyEndOfFile) {
  Bytes h = encode_header(system_header());
  for (size_t len = 0; len < h.size(); ++len) {
    auto r = decode_header(Bytes(h.begin(), h.begin() + len));
    ASSERT_FALSE(r.ok()) << len;
    EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
  }
}

TEST(Header, WrongMagicOrVersionIsFatal) {
  Bytes bad = {'Z', 'E', 'L', '0'};  // nothing after the magic is read
  EXPECT_EQ(panic_message([&] { (void)decode_header(bad); }),
            "assertion `left == right` failed: not a .zel stream\n  left: [90, 69, 76, 48]\n"
            " right: [90, 69, 76, 49]");
  Bytes v1 = encode_header(system_header());
  v1[4] = 1;
  EXPECT_EQ(panic_message([&] { (void)decode_header(v1); }),
            "assertion `left == right` failed: unsupported .zel version\n  left: 1\n right: 2");
}

TEST(Header, InvalidUtf8NameIsFatal) {
  Bytes h = encode_header(Header{{{"ab", ""}}, 2, false});
  h[11] = 0xFF;
  EXPECT_NE(panic_message([&] { (void)decode_header(h); }).find("invalid utf-8"),
            std::string::npos);
}

TEST(StringField, OverlongTextIsCutAtACharacterBoundary) {
  std::string name(65534, 'a');
  name += "\xC3\xA9";  // 'é' straddles the 65535-byte limit
  auto back = decode_header(encode_header(Header{{{name, std::string(70000, 'u')}}, 2, false}));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().columns[0].name, std::string(65534, 'a'));
  EXPECT_EQ(back.value().columns[0].unit.size(), 65535u);
}

TEST(Decl, BodyMatchesTheLayout) {
  MemoryOutput out;
  ASSERT_TRUE(write_decl(out, {8, {"fps", ""}}).ok());
  EXPECT_EQ(body_of(out.bytes),
            (Bytes{0x01, 0x08, 0x00, 0x03, 0x00, 0x66, 0x70, 0x73, 0x00, 0x00}));
  auto rec = try_read_record(out.bytes, 8);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->first, out.bytes.size());
  const auto& d = std::get<Decl>(rec->second);
  EXPECT_EQ(d.id, 8);
  EXPECT_EQ(d.column.name, "fps");
  EXPECT_EQ(d.column.unit, "");
}

TEST(Frame, PlainFrameBodyIs71Bytes) {
  MemoryOutput out;
  ASSERT_TRUE(write_frame(out, Record{std::vector<double>(8, 1.5), {}, std::nullopt}).ok());
  EXPECT_EQ(load_u32(out.bytes.data() + 4), 71u);
  EXPECT_EQ(body_of(out.bytes).size(), 71u);
}

TEST(Frame, RoundTripsValuesPairsAndFlame) {
  Record r{{0.0, 1.25, -3.5}, {{9, 60.0}, {8, -1.0}}, Bytes{'P', 'F', 'D', '4', 0, 1}};
  MemoryOutput out;
  ASSERT_TRUE(write_frame(out, r).ok());
  auto rec = try_read_record(out.bytes, 3);
  ASSERT_TRUE(rec);
  const auto& back = std::get<Record>(rec->second);
  EXPECT_EQ(back.system, r.system);
  EXPECT_EQ(back.user, r.user);
  EXPECT_EQ(back.flame, r.flame);
}

TEST(Frame, EmptyFlameReadsBackAsNone) {
  MemoryOutput out;
  ASSERT_TRUE(write_frame(out, Record{{1.0}, {}, Bytes{}}).ok());
  Bytes body = body_of(out.bytes);
  EXPECT_EQ(load_u32(body.data() + body.size() - 4), 0u);
  EXPECT_FALSE(std::get<Record>(try_read_record(out.bytes, 1)->second).flame);
}

TEST(Frame, HighlyCompressibleBodyIsAccepted) {
  Record r{{0.0}, {}, Bytes(4 << 20, 0)};
  MemoryOutput out;
  ASSERT_TRUE(write_frame(out, r).ok());
  auto rec = try_read_record(out.bytes, 1);
  ASSERT_TRUE(rec);
  EXPECT_EQ(std::get<Record>(rec->second).flame->size(), size_t{4} << 20);
}

TEST(TryRead, PartialBlobIsIncompleteUntilItsLastByte) {
  MemoryOutput out;
  ASSERT_TRUE(write_frame(out, Record{std::vector<double>(8, 2.0), {{8, 1.0}}, std::nullopt}).ok());
  const Bytes& blob = out.bytes;
  for (size_t len = 0; len < blob.size(); ++len) {
    EXPECT_FALSE(try_read_record(std::span(blob.data(), len), 8)) << len;
  }
  Bytes longer = blob;
  longer.push_back(0xAA);  // the next blob's first byte is not consumed
  auto rec = try_read_record(longer, 8);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->first, blob.size());
}

TEST(TryRead, BlobLengthBelowFiveIsFatal) {
  for (uint32_t n : {0u, 3u, 4u}) {
    Bytes b = raw_blob(n, 0, Bytes(n > 4 ? n - 4 : 0, 0));
    b.resize(4 + n, 0);
    EXPECT_NE(panic_message([&] { (void)try_read_record(b, 8); }), "") << n;
  }
}

TEST(TryRead, UnknownTagIsFatal) {
  Bytes b = blob_of_body(Bytes{2, 0, 0});
  EXPECT_EQ(panic_message([&] { (void)try_read_record(b, 8); }), "unknown .zel record tag 2");
}

TEST(TryRead, BodyEndingInsideAFieldIsFatal) {
  Bytes frame = body_of([] {
    MemoryOutput out;
    EXPECT_TRUE(
        write_frame(out, Record{std::vector<double>(8, 0.5), {{8, 1}}, Bytes{1, 2, 3}}).ok());
    return out.bytes;
  }());
  for (size_t len = 0; len < frame.size(); ++len) {
    Bytes b = blob_of_body(Bytes(frame.begin(), frame.begin() + len));
    EXPECT_NE(
        panic_message([&] { (void)try_read_record(b, 8); }).find("failed to fill whole buffer"),
        std::string::npos)
        << len;
  }
  Bytes extra = frame;
  extra.push_back(0x55);  // bytes after the last field are ignored
  EXPECT_TRUE(try_read_record(blob_of_body(extra), 8));
}

TEST(TryRead, ImplausibleBodyLengthIsRefusedBeforeAllocating) {
  Bytes b = blob_of_body(Bytes{1, 8, 0, 0, 0, 0, 0});
  uint32_t block = load_u32(b.data()) - 4;
  uint32_t r = block * 255 + 1;
  std::memcpy(b.data() + 4, &r, 4);
  EXPECT_NE(panic_message([&] { (void)try_read_record(b, 8); }).find("cannot come from"),
            std::string::npos);
  r = 0xFFFFFFFF;
  std::memcpy(b.data() + 4, &r, 4);
  EXPECT_NE(panic_message([&] { (void)try_read_record(b, 8); }), "");
}

TEST(TryRead, DamagedBlockIsFatal) {
  Bytes b = blob_of_body(Bytes(100, 7));
  b[8] = 0xFF;  // a literal run longer than the block
  EXPECT_NE(panic_message([&] { (void)try_read_record(b, 8); }).find("LZ4"), std::string::npos);
  Bytes shorter = blob_of_body(Bytes(100, 7));
  uint32_t r = 50;  // the block decodes to more than R bytes
  std::memcpy(shorter.data() + 4, &r, 4);
  EXPECT_NE(panic_message([&] { (void)try_read_record(shorter, 8); }), "");
}

}  // namespace
}  // namespace zel::record::format
