// The lock file that keeps two runs of the program off one BMC.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/linux/bmc_lock.h"

namespace {

TEST(BmcLock, EveryWayHasAFileOfItsOwnInTheLockFolder) {
  struct Case {
    std::string way;
    std::string path;
  } cases[] = {
      {"ipmi-241-0", "/run/lock/velkoran-ipmi-241-0.lock"},
      {"kcs-0ca3-0ca2", "/run/lock/velkoran-kcs-0ca3-0ca2.lock"},
      // Changed bytes and long ways end in a hash of the whole.
      {"tcp-::1-9000", "/run/lock/velkoran-tcp-__1-9000-"},
      {"unix-../../etc/passwd", "/run/lock/velkoran-unix-.._.._etc_passwd-"},
      {std::string(300, 'a'), "/run/lock/velkoran-" + std::string(120, 'a') + "-"},
  };
  std::set<std::string> seen;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.way.substr(0, 40));
    const std::string path = linuxplatform::bmcLockPath(c.way);
    EXPECT_EQ(path.rfind(c.path, 0), 0u) << path;
    EXPECT_EQ(path.find('/', sizeof "/run/lock"), std::string::npos);
    EXPECT_EQ(path.substr(path.size() - 5), ".lock");
    seen.insert(path);
  }
  EXPECT_EQ(seen.size(), std::size(cases));
  EXPECT_NE(linuxplatform::bmcLockPath("tcp-a:b-1"), linuxplatform::bmcLockPath("tcp-a_b-1"));
}

TEST(BmcLock, HeldByOneRunAtATime) {
  const std::string way = "test-" + std::to_string(getpid());
  const std::string path = linuxplatform::bmcLockPath(way);
  std::string problem;
  ASSERT_EQ(linuxplatform::lockBmc(way, &problem), linuxplatform::LockResult::taken) << problem;
  // Another open of the file is another run: flock locks are per open.
  EXPECT_EQ(linuxplatform::lockBmc(way, &problem), linuxplatform::LockResult::busy);
  unlink(path.c_str());
}

}  // namespace
