#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/mutex.h"
#include "tests/cpp/support.h"

namespace zel {
namespace {

TEST(IoError, DisplayAndDebugForms) {
  IoError nf = IoError::from_errno(ENOENT);
  EXPECT_EQ(nf.to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(nf.debug(), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(IoError::unexpected_eof().to_string(), "failed to fill whole buffer");
  EXPECT_EQ(IoError::unexpected_eof().debug(),
            "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
  EXPECT_NE(IoError::from_errno(EACCES).debug().find(", kind: PermissionDenied,"),
            std::string::npos);
}

TEST(Panic, EqualityFailureAndUnwrapMessages) {
  try {
    assert_eq_failed("what", "1", "2");
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion `left == right` failed: what\n  left: 1\n right: 2");
  }
  try {
    unwrap(Status(IoError::from_errno(ENOSPC)));
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(),
              "called `Result::unwrap()` on an `Err` value: Os { code: 28, kind: StorageFull, "
              "message: \"No space left on device\" }");
  }
  EXPECT_NO_THROW(unwrap(Status::success()));
}

}  // namespace
}  // namespace zel

namespace zel {
namespace {

TEST(Mutex, AHolderThatFailsPoisonsTheLockForEveryLaterUser) {
  Mutex<int> m(1);
  *m.lock() += 1;
  EXPECT_EQ(*m.lock(), 2);
  EXPECT_EQ(testing::panic_message([&] {
              auto held = m.lock();
              panic("failed while holding it");
            }),
            "failed while holding it");
  EXPECT_TRUE(m.is_poisoned());
  EXPECT_EQ(testing::panic_message([&] { m.lock(); }), kPoisonedLock);
}

}  // namespace
}  // namespace zel
