#include <gtest/gtest.h>

#include "tests/cpp/flame_decoder.h"
#include "base/compact_coding.h"
#include "base/error.h"
#include "profiler/flame_format.h"
#include "profiler/frame_data.h"
#include "base/error.h"
#include "profiler/flame_format.h"

namespace profiler {
namespace {

using zel::Bytes;
using zel::testing::FlameDecoder;

constexpr NanoSecond kT = 1'700'000'000'000'000'000;

Bytes uint_bytes(uint64_t v) {
  Bytes b;
  zel::compact::put_uint(b, v);
  return b;
}
Bytes int_bytes(int64_t v) {
  Bytes b;
  zel::compact::put_int(b, v);
  return b;
}

TEST(CompactEncoding, MatchesTheReferenceVectorsAndDecodesBack) {
  EXPECT_EQ(uint_bytes(250), (Bytes{0xFA}));
  EXPECT_EQ(uint_bytes(251), (Bytes{0xFB, 0xFB, 0x00}));
  EXPECT_EQ(uint_bytes(300), (Bytes{0xFB, 0x2C, 0x01}));
  EXPECT_EQ(uint_bytes(65536), (Bytes{0xFC, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(uint_bytes(4294967296), (Bytes{0xFD, 0, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(int_bytes(-1), (Bytes{0x01}));
  EXPECT_EQ(int_bytes(1000), (Bytes{0xFB, 0xD0, 0x07}));
  EXPECT_EQ(int_bytes(kT), (Bytes{0xFD, 0x00, 0x00, 0x54, 0x6C, 0xFC, 0x39, 0x2F, 0x2F}));

  for (int64_t v : {int64_t{0}, int64_t{-1}, int64_t{125}, int64_t{-126}, int64_t{40000}, kT,
                    std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
    Bytes b = int_bytes(v);
    EXPECT_EQ(b.size(), zel::compact::int_size(v));
    zel::Cursor in(b);
    int64_t back;
    ASSERT_TRUE(zel::compact::get_int(in, back));
    EXPECT_EQ(back, v);
    for (size_t cut = 0; cut < b.size(); ++cut) {  // every truncation is refused
      zel::Cursor short_in(b.data(), b.data() + cut);
      EXPECT_FALSE(zel::compact::get_int(short_in, back));
    }
  }
  Bytes unused = {0xFE, 0, 0};
  zel::Cursor in(unused);
  uint64_t v;
  EXPECT_FALSE(zel::compact::get_uint(in, v));
}

TEST(FlameRecords, EncodeAsTheFormatFixes) {
  FrameMeta meta{3, {kT, kT + 500000}, 31, 1};
  std::vector<SharedScopeDetails> list = {
      std::make_shared<const ScopeDetails>(ScopeDetails{7, std::nullopt, "draw", "", 0})};
  Bytes out;
  append_flame_frame(meta, PackedStreams{}, list, out);
  EXPECT_EQ(out, (Bytes{'P',  'F',  'D',  '4',  21,   0,    0,    0,    0x03, 0xFD, 0x00, 0x00,
                        0x54, 0x6C, 0xFC, 0x39, 0x2F, 0x2F, 0xFD, 0x40, 0x42, 0x63, 0x6C, 0xFC,
                        0x39, 0x2F, 0x2F, 0x1F, 0x01, 0,    0,    0,    0,    1,    11,   0,
                        0,    0,    0x01, 0x01, 0x07, 0x00, 0x04, 'd',  'r',  'a',  'w',  0x00,
                        0x00}));
}

// One thread "" with one scope of id 1 from kT to kT + 1000.
std::map<ThreadInfo, StreamInfo> one_scope_streams(size_t extra_scopes = 0) {
  StreamInfo s;
  auto add_scope = [&](NanoSecond start, NanoSecond stop) {
    s.stream.insert(s.stream.end(), {0x28, 1, 0, 0, 0});
    zel::put_u64(s.stream, static_cast<uint64_t>(start));
    s.stream.push_back(0);
    zel::put_u64(s.stream, 0);
    s.stream.push_back(0x29);
    zel::put_u64(s.stream, static_cast<uint64_t>(stop));
    ++s.num_scopes;
  };
  add_scope(kT, kT + 1000);
  for (size_t i = 0; i < extra_scopes; ++i) add_scope(kT + 1000, kT + 2000);
  s.depth = 1;
  s.range_ns = {kT, extra_scopes ? kT + 2000 : kT + 1000};
  std::map<ThreadInfo, StreamInfo> m;
  m.emplace(ThreadInfo{kT, ""}, std::move(s));
  return m;
}

TEST(PackedStreams, HoldTheEncodedThreadMapBehindItsLength) {
  auto frame = FrameData::create(0, one_scope_streams(), {}, false);
  PackedStreams packed = pack_streams(frame->unpacked()->thread_streams);
  EXPECT_EQ(packed.compression_kind, 1);
  Bytes raw(zel::load_u32(packed.bytes.data()));
  ASSERT_EQ(
      LZ4_decompress_safe(reinterpret_cast<const char*>(packed.bytes.data() + 4),
                          reinterpret_cast<char*>(raw.data()),
                          static_cast<int>(packed.bytes.size() - 4), static_cast<int>(raw.size())),
      static_cast<int>(raw.size()));
  Bytes want = {0x01, 0x01};  // one entry; start time present
  for (Bytes part : {int_bytes(kT), Bytes{0x00, 0x1F}})
    want.insert(want.end(), part.begin(), part.end());
  const Bytes& stream = frame->unpacked()->thread_streams.begin()->second->stream;
  want.insert(want.end(), stream.begin(), stream.end());
  for (Bytes part : {Bytes{0x01, 0x01}, int_bytes(kT), int_bytes(kT + 1000)})
    want.insert(want.end(), part.begin(), part.end());
  EXPECT_EQ(raw, want);
}

TEST(FlameFrame, DecodesBackAndReusesItsPackedBytes) {
  auto details = std::make_shared<const ScopeDetails>(ScopeDetails{1, std::nullopt, "tick", "", 0});
  auto frame = FrameData::create(9, one_scope_streams(10), {details}, false);
  ASSERT_TRUE(frame->holds_unpacked());

  Bytes first, second;
  frame->write_into(nullptr, first);
  EXPECT_FALSE(frame->holds_unpacked());  // the first call packs
  EXPECT_EQ(frame->unpacked(), nullptr);
  frame->write_into(nullptr, second);

  auto a = FlameDecoder::decode(first);
  auto b = FlameDecoder::decode(second);
  EXPECT_EQ(a.packed_section, b.packed_section);
  EXPECT_EQ(a.meta.frame_index, 9u);
  EXPECT_EQ(a.meta.num_scopes, 11u);
  EXPECT_EQ(a.meta.num_bytes, 11u * 31);
  EXPECT_EQ(a.meta.range_ns, (RangeNs{kT, kT + 2000}));
  ASSERT_EQ(a.threads.size(), 1u);
  EXPECT_EQ(a.threads[0].info, (ThreadInfo{kT, ""}));
  EXPECT_EQ(a.threads[0].scopes.size(), 11u);
  // 341 stream bytes: the byte count takes the three-byte form inside the map.
  EXPECT_EQ(a.threads[0].stream.size(), 341u);
  ASSERT_EQ(a.scopes.size(), 1u);
  EXPECT_EQ(a.scopes[0], *details);
}

TEST(FlameFrame, ScopeListComesFromTheCollectionWhenGiven) {
  auto frame = FrameData::create(0, one_scope_streams(), {}, false);
  Bytes bytes;
  frame->write_into(nullptr, bytes);
  EXPECT_EQ(zel::load_u32(bytes.data() + bytes.size() - 5), 1u);  // s = 1: an empty list
  EXPECT_EQ(bytes.back(), 0x00);

  ScopeCollection scopes;
  for (ScopeId id : {4u, 5u})
    scopes.insert(std::make_shared<const ScopeDetails>(ScopeDetails{id, std::nullopt, "s", "", 0}));
  bytes.clear();
  frame->write_into(&scopes, bytes);
  auto decoded = FlameDecoder::decode(bytes);
  ASSERT_EQ(decoded.scopes.size(), 2u);
  EXPECT_EQ(*decoded.scopes[0].scope_id + *decoded.scopes[1].scope_id, 9u);
}

TEST(FrameData, EmptyFramesAreRefused) {
  EXPECT_EQ(FrameData::create(0, {}, {}, false), nullptr);
  std::map<ThreadInfo, StreamInfo> no_range;
  no_range[ThreadInfo{}] = StreamInfo{};  // range stays (max, min)
  EXPECT_EQ(FrameData::create(0, std::move(no_range), {}, false), nullptr);
}

TEST(FlameDecode, AgreesWithTheStrictDecoderOnAWrittenFrame) {
  auto details = std::make_shared<const ScopeDetails>(ScopeDetails{1, "tick", "f", "a.py", 7});
  auto frame = FrameData::create(4, one_scope_streams(2), {details}, false);
  Bytes bytes;
  frame->write_into(nullptr, bytes);
  const DecodedFlame f = decode_flame(bytes);
  const auto strict = FlameDecoder::decode(bytes);
  EXPECT_EQ(f.meta.frame_index, 4u);
  EXPECT_EQ(f.meta.range_ns, strict.meta.range_ns);
  ASSERT_EQ(f.threads.size(), 1u);
  EXPECT_EQ(f.threads[0].info, strict.threads[0].info);
  ASSERT_EQ(f.threads[0].scopes.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const auto& s = f.threads[0].scopes[i];
    EXPECT_EQ(s.id, strict.threads[0].scopes[i].id);
    EXPECT_EQ(s.start_ns, strict.threads[0].scopes[i].start);
    EXPECT_EQ(s.stop_ns, strict.threads[0].scopes[i].stop);
    EXPECT_EQ(s.parent, -1);
    EXPECT_FALSE(s.open);
  }
  ASSERT_EQ(f.scopes.size(), 1u);
  EXPECT_EQ(f.scopes[0], *details);

  // Every strict prefix is refused, and only ever with a Panic.
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_THROW(decode_flame({bytes.data(), n}), zel::Panic) << n;
  }
}

TEST(FlameDecode, EndRecordsCloseTheInnermostScopeAndOpenScopesEndWithTheirStream) {
  Bytes stream;
  auto begin = [&](ScopeId id, NanoSecond start, std::string_view data = "") {
    stream.push_back(scope_record::kBeginTag);
    zel::put_u32(stream, id);
    zel::put_u64(stream, static_cast<uint64_t>(start));
    stream.push_back(static_cast<uint8_t>(data.size()));
    zel::put_bytes(stream, data.data(), data.size());
    zel::put_u64(stream, scope_record::kOpenSize);
  };
  auto end = [&](NanoSecond stop) {
    stream.push_back(scope_record::kEndTag);
    zel::put_u64(stream, static_cast<uint64_t>(stop));
  };
  end(5);  // a mismatched end with nothing open is skipped
  begin(1, 10);
  begin(2, 20, "x=1");
  end(30);
  begin(3, 40);  // still open, as is its parent
  std::vector<DecodedScope> out;
  parse_scope_stream(stream, out, 99);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].parent, -1);
  EXPECT_TRUE(out[0].open);
  EXPECT_EQ(out[0].stop_ns, 99);
  EXPECT_EQ(out[1].parent, 0);
  EXPECT_EQ(out[1].depth, 1u);
  EXPECT_EQ(out[1].data, "x=1");
  EXPECT_EQ((std::pair{out[1].start_ns, out[1].stop_ns}),
            (std::pair<NanoSecond, NanoSecond>{20, 30}));
  EXPECT_FALSE(out[1].open);
  EXPECT_EQ(out[2].parent, 0);
  EXPECT_TRUE(out[2].open);

  stream.push_back(0x42);
  EXPECT_THROW(parse_scope_stream(stream, out), zel::Panic);
}

}  // namespace
}  // namespace profiler
