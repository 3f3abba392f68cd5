// Writes a few well-formed streams into a directory, as the fuzzer's seed corpus.
#include <cstdio>
#include <string>

#include "src/record/format.h"
#include "tests/cpp/support.h"

using namespace zel;
using namespace zel::record::format;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  for (int variant = 0; variant < 4; ++variant) {
    testing::MemoryOutput out;
    unwrap(write_header(out, testing::system_header(variant % 2 == 1)));
    for (int i = 0; i < variant; ++i)
      unwrap(write_decl(out, 8 + i, "metric" + std::to_string(i), "u"));
    for (int f = 0; f < 3; ++f) {
      Record r{std::vector<double>(8, f * 1.5), {}, std::nullopt};
      for (int i = 0; i < variant; ++i) r.user.push_back({static_cast<uint16_t>(8 + i), i * 0.25});
      if (variant == 3) r.flame = Bytes{'P', 'F', 'D', '4', 1, 2, 3, 4, 5, 6, 7, 8};
      unwrap(write_frame(out, r));
    }
    testing::write_file(dir + "/seed" + std::to_string(variant), out.bytes);
  }
  return 0;
}
