#include "base/io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zel {
namespace {

// open(2) would stop at an interior NUL and open a different file.
bool has_nul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

}  // namespace

Result<std::unique_ptr<FileWriter>> FileWriter::create(const std::string& path, size_t capacity) {
  if (has_nul(path)) return IoError::from_errno(EINVAL);
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_errno(errno);
  auto file = std::make_unique<FileWriter>(fd, capacity);  // closes fd on every return
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked < 0 && errno == EINTR);
  if (locked < 0 && errno == EWOULDBLOCK) return IoError::from_errno(EWOULDBLOCK);
  // Only a regular file has a length to cut: a device such as /dev/null takes writes
  // as they come, as open(O_TRUNC) would have left it.
  struct stat st;
  if (::fstat(fd, &st) < 0) return IoError::from_errno(errno);
  if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) < 0) return IoError::from_errno(errno);
  return file;
}

FileWriter::FileWriter(int fd, size_t capacity) : fd_(fd), capacity_(capacity) {
  buf_.reserve(capacity);
}

FileWriter::~FileWriter() {
  (void)flush();
  ::close(fd_);
}

Status FileWriter::write_fd(const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd_, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return IoError::from_errno(errno);
    }
    if (w == 0) return IoError::from_errno(EIO);  // the OS refused to take more bytes
    data += w;
    n -= static_cast<size_t>(w);
  }
  return Status::success();
}

Status FileWriter::write_all(const uint8_t* data, size_t n) {
  if (buf_.size() + n > capacity_) {
    Status s = flush();
    if (!s) return s;
  }
  if (n >= capacity_) return write_fd(data, n);
  buf_.insert(buf_.end(), data, data + n);
  return Status::success();
}

Status FileWriter::flush() {
  if (buf_.empty()) return Status::success();
  Status s = write_fd(buf_.data(), buf_.size());
  // What could not be written is dropped with the error: the writer thread ends on it.
  buf_.clear();
  return s;
}

Result<std::unique_ptr<FileInput>> FileInput::open(const std::string& path) {
  if (has_nul(path)) return IoError::from_errno(EINVAL);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_errno(errno);
  return std::make_unique<FileInput>(fd);
}

FileInput::~FileInput() {
  ::close(fd_);
}

Result<size_t> FileInput::read(uint8_t* data, size_t n) {
  ssize_t r = ::read(fd_, data, n);
  if (r < 0) return IoError::from_errno(errno);
  return static_cast<size_t>(r);
}

BufReader::BufReader(std::unique_ptr<Input> in, size_t capacity)
    : in_(std::move(in)), buf_(capacity) {}

Result<size_t> BufReader::read(uint8_t* data, size_t n) {
  if (begin_ == end_) {
    if (n >= buf_.size()) {
      Result<size_t> direct = in_->read(data, n);
      if (direct) position_ += direct.value();
      return direct;
    }
    Result<size_t> r = in_->read(buf_.data(), buf_.size());
    if (!r) return r;
    begin_ = 0;
    end_ = r.value();
  }
  size_t k = std::min(n, end_ - begin_);
  std::memcpy(data, buf_.data() + begin_, k);
  begin_ += k;
  position_ += k;
  return k;
}

Status BufReader::read_exact(uint8_t* data, size_t n) {
  while (n > 0) {
    Result<size_t> r = read(data, n);
    if (!r) {
      if (r.error().code() == EINTR) continue;
      return r.error();
    }
    if (r.value() == 0) return IoError::unexpected_eof();
    data += r.value();
    n -= r.value();
  }
  return Status::success();
}

}  // namespace zel
