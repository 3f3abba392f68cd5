// Test helpers: in-memory inputs and outputs, byte-damaging helpers, temp files.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/io.h"
#include "record/stream_format.h"

namespace zel::testing {

// The eight system columns as every stream names them.
inline record::format::Header system_header(bool flame = false) {
  return {{{"frame_ms", "ms"},
           {"memory_mb", "MB"},
           {"io_ms", "ms"},
           {"io_MB", "MB"},
           {"gpu_util", "%"},
           {"gpu_sm", "%"},
           {"gpu_power", "W"},
           {"gpu_mem", "MB"}},
          2,
          flame};
}

class MemoryOutput : public Output {
 public:
  Status write_all(const uint8_t* data, size_t n) override {
    bytes.insert(bytes.end(), data, data + n);
    return Status::success();
  }
  Status flush() override { return Status::success(); }
  Bytes bytes;
};

// Serves `bytes` in reads of at most `chunk` bytes; fails the reads listed in
// `fail_at` (0-based read counts) with EIO.
class MemoryInput : public Input {
 public:
  explicit MemoryInput(Bytes bytes, size_t chunk = SIZE_MAX)
      : bytes_(std::move(bytes)), chunk_(chunk) {}
  Result<size_t> read(uint8_t* data, size_t n) override {
    if (fail_next > 0) {
      --fail_next;
      return IoError::from_errno(EIO);
    }
    size_t k = std::min({n, chunk_, bytes_.size() - pos_});
    std::copy_n(bytes_.data() + pos_, k, data);
    pos_ += k;
    return k;
  }
  int fail_next = 0;

 private:
  Bytes bytes_;
  size_t chunk_;
  size_t pos_ = 0;
};

// A directory removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zel-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void append_file(const std::string& path, const uint8_t* data, size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
}

inline void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Runs `body` and returns the Panic message it raised ("" when none was raised).
template <class F>
std::string panic_message(F&& body) {
  try {
    body();
  } catch (const Panic& p) {
    return p.message();
  }
  return "";
}

}  // namespace zel::testing
