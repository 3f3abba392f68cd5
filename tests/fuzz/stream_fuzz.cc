// libFuzzer harness over everything that decodes untrusted stream bytes: the header
// read, try_read_record, the Reader that drives it and the bulk table loader. A Panic is an
// accepted outcome; a crash, a sanitizer report, a hang or a runaway allocation is a finding.
#include <cstddef>
#include <cstdint>

#include "record/table_loader.h"
#include "tests/cpp/support.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes bytes(data, data + size);

  // Records straight from the bytes, as if a header with 0..15 columns preceded them.
  const size_t columns = size > 0 ? data[0] % 16 : 0;
  std::span<const uint8_t> rest(bytes);
  Bytes scratch;
  try {
    while (auto rec = record::format::try_read_record(rest, columns, scratch))
      rest = rest.subspan(rec->first);
  } catch (const Panic&) {
  }

  // The whole bytes as a stream file, served in small reads so records straddle them.
  try {
    const size_t chunk = size > 1 ? 1 + data[1] % 64 : 1;
    auto r = record::read::Reader::open(std::make_unique<testing::MemoryInput>(bytes, chunk));
    if (!r) return 0;
    // A dropped record lets the next call move on; a damaged blob fails the same way
    // on every call, which the count of failures in a row ends.
    for (int calls = 0, panics_in_a_row = 0; calls < 1000 && panics_in_a_row < 3; ++calls) {
      try {
        auto f = r.value().next_frame();
        if (!f || !f.value()) break;
        panics_in_a_row = 0;
      } catch (const Panic&) {
        ++panics_in_a_row;
      }
    }
  } catch (const Panic&) {
  }

  try {
    auto r = record::read::Reader::open(std::make_unique<testing::MemoryInput>(bytes));
    if (r) (void)record::read::load_table(r.take());
  } catch (const Panic&) {
  }
  return 0;
}
