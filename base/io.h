// Byte sinks and sources over files, with the buffering the stream writer and reader
// use. Every operation returns the operating system's error as a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"

namespace zel {

// Where encoded bytes go. write_all may buffer; flush hands everything to the OS.
class Output {
 public:
  virtual ~Output() = default;
  virtual Status write_all(const uint8_t* data, size_t n) = 0;
  virtual Status flush() = 0;
};

// A file opened for writing behind a buffer of `capacity` bytes. Destroying it
// writes out what the buffer holds (errors ignored) and closes the file.
class FileWriter final : public Output {
 public:
  static constexpr size_t kDefaultCapacity = 8192;

  // Creates or truncates the file at `path` for one writer: write-only, mode 0666
  // before the umask, close-on-exec. The file is opened without truncating, locked
  // with an exclusive advisory lock (flock) and only then truncated, so a file that
  // another open file description holds is left whole: that is EWOULDBLOCK. The lock
  // lasts as long as the descriptor, which a forked child shares. A file system that
  // cannot lock is written unlocked. An open interrupted by a signal is retried; a path
  // holding a NUL byte is EINVAL.
  static Result<std::unique_ptr<FileWriter>> create(const std::string& path,
                                                    size_t capacity = kDefaultCapacity);
  // Takes ownership of an open descriptor.
  FileWriter(int fd, size_t capacity);
  ~FileWriter() override;
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  Status write_all(const uint8_t* data, size_t n) override;
  Status flush() override;

 private:
  Status write_fd(const uint8_t* data, size_t n);

  int fd_;
  std::vector<uint8_t> buf_;
  size_t capacity_;
};

// Where bytes come from. A read returns 0 only at the end of the input.
class Input {
 public:
  virtual ~Input() = default;
  virtual Result<size_t> read(uint8_t* data, size_t n) = 0;
};

class FileInput final : public Input {
 public:
  // Opens `path` read-only and close-on-exec. A path holding a NUL byte is EINVAL.
  static Result<std::unique_ptr<FileInput>> open(const std::string& path);
  explicit FileInput(int fd) : fd_(fd) {}
  ~FileInput() override;
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  // One read call; an interrupted read is returned as its error.
  Result<size_t> read(uint8_t* data, size_t n) override;

 private:
  int fd_;
};

// A buffer of `capacity` bytes in front of an Input. A read that finds the buffer
// empty and asks for at least its capacity goes straight to the input; otherwise it
// is served from the buffer (refilled when empty).
class BufReader {
 public:
  static constexpr size_t kDefaultCapacity = 8192;
  explicit BufReader(std::unique_ptr<Input> in, size_t capacity = kDefaultCapacity);

  Result<size_t> read(uint8_t* data, size_t n);
  // Reads exactly n bytes, retrying interrupted and short reads; an end of input
  // before n bytes is IoError::unexpected_eof().
  Status read_exact(uint8_t* data, size_t n);
  // Bytes handed out so far: where the next read starts in the input.
  uint64_t position() const { return position_; }

 private:
  std::unique_ptr<Input> in_;
  std::vector<uint8_t> buf_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t position_ = 0;
};

}  // namespace zel
