#include "owner_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sorvel {
namespace {

TEST(OwnerProcessTest, AForkedChildIsAnotherProcess) {
  const OwnerProcess parent;
  EXPECT_TRUE(parent.is_current());
  EXPECT_EQ(parent.pid(), ::getpid());
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const OwnerProcess child;
    const bool ok = !parent.is_current() && child.is_current() && child.pid() == ::getpid() &&
                    child.pid() != parent.pid();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(parent.is_current());
}

}  // namespace
}  // namespace sorvel
