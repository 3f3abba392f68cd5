// Test helpers: in-memory inputs and outputs, temporary files, panic capture, thread
// names, and the strict flame decoder.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/io.h"
#include "record/stream_format.h"
#include "record/stream_reader.h"
#include "record/system_columns.h"
#include "tests/cpp/flame_oracle.h"

namespace zel::testing {

inline record::format::Header system_header(bool flame = false) {
  return {system::header_columns(), record::format::kVersion, flame};
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

// What `write` appends to an Output.
template <class Write>
Bytes encoded(Write write) {
  MemoryOutput out;
  unwrap(write(out));
  return out.bytes;
}

// Serves `bytes` (which may grow, like a file being written) in reads of at most
// `chunk` bytes. The next `fail_next` reads fail with `fail_errno`; `asked` lists the
// size of every read asked for.
class MemoryInput : public Input {
 public:
  explicit MemoryInput(Bytes b, size_t chunk = SIZE_MAX) : bytes(std::move(b)), chunk_(chunk) {}
  Result<size_t> read(uint8_t* data, size_t n) override {
    asked.push_back(n);
    if (fail_next > 0) return --fail_next, IoError::from_errno(fail_errno);
    const size_t k = std::min({n, chunk_, bytes.size() - pos_});
    std::copy_n(bytes.data() + pos_, k, data);
    pos_ += k;
    return k;
  }
  Bytes bytes;
  int fail_next = 0, fail_errno = EIO;
  std::vector<size_t> asked;

 private:
  size_t chunk_, pos_ = 0;
};

// The frames left in `r`, up to where the file ends for now.
inline std::vector<record::read::ReadFrame> read_all(record::read::Reader& r) {
  std::vector<record::read::ReadFrame> frames;
  while (auto f = unwrap(r.next_frame())) frames.push_back(std::move(*f));
  return frames;
}

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

// The message of the Panic that `body` raises, "" when it raises none.
template <class F>
std::string panic_message(F&& body) {
  try {
    body();
  } catch (const Panic& p) {
    return p.message();
  }
  return "";
}

// Waits up to ten seconds for `done()` to hold, and says whether it does.
template <class F>
bool eventually(F done) {
  for (int i = 0; i < 10000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// The names of this process's threads.
inline std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* e = dir ? readdir(dir) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    if (std::string name; e->d_name[0] != '.' && std::getline(comm, name)) names.push_back(name);
  }
  if (dir) closedir(dir);
  return names;
}

}  // namespace zel::testing
