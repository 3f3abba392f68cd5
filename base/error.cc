#include "base/error.h"

#include "base/utf8.h"

#include <cerrno>
#include <cstring>

namespace zel {
namespace {

std::string os_message(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text;
}

const char* kind_name(int code) {
  switch (code) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EDEADLK: return "Deadlock";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSYS: return "Unsupported";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ELOOP: return "FilesystemLoop";
    case EDQUOT: return "FilesystemQuotaExceeded";
    case ESTALE: return "StaleNetworkFileHandle";
    case ETIMEDOUT: return "TimedOut";
    default: return "Uncategorized";
  }
}

}  // namespace

constexpr const char* kEofMessage = "failed to fill whole buffer";

std::string IoError::to_string() const {
  if (is_eof()) return kEofMessage;
  return os_message(code_) + " (os error " + std::to_string(code_) + ")";
}

std::string IoError::debug() const {
  if (is_eof())
    return std::string("Error { kind: UnexpectedEof, message: ") + utf8::debug_quote(kEofMessage) +
           " }";
  return "Os { code: " + std::to_string(code_) + ", kind: " + kind_name(code_) +
         ", message: " + utf8::debug_quote(os_message(code_)) + " }";
}

void panic(std::string message) {
  throw Panic(std::move(message));
}

namespace {

[[noreturn]] void assert_failed(std::string_view op, std::string_view what, std::string_view left,
                                std::string_view right, std::string brief, Fault fault) {
  std::string m = "assertion `left ";
  m.append(op);
  m += " right` failed";
  if (!what.empty()) {
    m += ": ";
    m.append(what);
  }
  m += "\n  left: ";
  m.append(left);
  m += "\n right: ";
  m.append(right);
  throw Panic(std::move(m), std::move(brief), fault);
}

}  // namespace

void assert_eq_failed(std::string_view what, std::string_view left, std::string_view right,
                      Fault fault) {
  std::string brief;
  if (!what.empty()) {
    brief.append(what);
    brief += ": ";
    brief.append(left);
    brief += ", expected ";
    brief.append(right);
  }
  assert_failed("==", what, left, right, std::move(brief), fault);
}

void assert_ne_failed(std::string_view left, std::string_view right) {
  assert_failed("!=", "", left, right, {}, Fault::Broken);
}

void unwrap(const Status& status) {
  if (!status) panic("called `Result::unwrap()` on an `Err` value: " + status.error().debug());
}

}  // namespace zel
