#include "velmora/core/os_error.h"

#include <cerrno>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora {
namespace {

TEST(OsError, RendersDisplayAndDebugForms) {
  OsError error(ENOENT);
  EXPECT_EQ(error.display(), "No such file or directory (os error " + std::to_string(ENOENT) + ")");
  EXPECT_EQ(error.debug(), "Os { code: " + std::to_string(ENOENT) +
                               ", kind: NotFound, message: \"No such file or directory\" }");
}

TEST(OsError, KindsFollowTheNumber) {
  EXPECT_STREQ(OsError(EACCES).kind(), "PermissionDenied");
  EXPECT_STREQ(OsError(EPERM).kind(), "PermissionDenied");
  EXPECT_STREQ(OsError(EAGAIN).kind(), "WouldBlock");
  EXPECT_STREQ(OsError(EOPNOTSUPP).kind(), "Unsupported");
  EXPECT_STREQ(OsError(ENAMETOOLONG).kind(), "InvalidFilename");
  EXPECT_STREQ(OsError(EIO).kind(), "Uncategorized");
}

TEST(OsError, FromErrnoCapturesTheLastFailure) {
  EXPECT_EQ(::close(-1), -1);
  EXPECT_EQ(OsError::from_errno().code(), EBADF);
}

TEST(OwnedFd, ClosesOnceAndMovesOwnership) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  OwnedFd first(fds[0]);
  OwnedFd second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_EQ(second.get(), fds[0]);
  second.reset();
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
}

TEST(OwnedFd, CloneIsCloseOnExecAndIndependent) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  OwnedFd read_end(fds[0]);
  OwnedFd write_end(fds[1]);
  auto clone = read_end.try_clone(3);
  ASSERT_TRUE(clone);
  EXPECT_NE(clone->get(), read_end.get());
  EXPECT_TRUE(::fcntl(clone->get(), F_GETFD) & FD_CLOEXEC);
  read_end.reset();
  ASSERT_EQ(::write(write_end.get(), "x", 1), 1);
  char c = 0;
  EXPECT_EQ(::read(clone->get(), &c, 1), 1);
  EXPECT_EQ(c, 'x');
}

TEST(OwnedFd, CloneOfEmptyFailsWithOsText) {
  OwnedFd empty;
  auto clone = empty.try_clone();
  ASSERT_FALSE(clone);
  EXPECT_EQ(clone.error().text(), OsError(EBADF).display());
}

TEST(Result, CarriesValueOrOneErrorText) {
  Result<int> good = 7;
  Result<int> bad = Error("broken");
  EXPECT_TRUE(good);
  EXPECT_EQ(*good, 7);
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.error().text(), "broken");
  Result<void> ok;
  Result<void> failed = Error("no");
  EXPECT_TRUE(ok);
  EXPECT_EQ(failed.error().text(), "no");
}

}  // namespace
}  // namespace velmora
