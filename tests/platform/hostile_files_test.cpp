// Files a hostile local user or a careless script puts where the program
// writes or reads, on the real disk: links and FIFOs at a temporary name,
// devices and kernel files as inputs, a link as the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/platform.h"
#include "platform/staged_file.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class HostileFiles : public ::testing::Test {
 protected:
  HostileFiles() {
    hostplatform::resetAll();
    dir = fs::path(::testing::TempDir()) / ("hostile-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "victim") << "precious";
  }
  ~HostileFiles() override { fs::remove_all(dir); }

  // Plants one kind of entry at `at`.
  void plant(const std::string& kind, const fs::path& at) {
    if (kind == "symlink") fs::create_symlink(dir / "victim", at);
    if (kind == "dangling symlink") fs::create_symlink(dir / "nowhere", at);
    if (kind == "hard link") fs::create_hard_link(dir / "victim", at);
    if (kind == "fifo") {
      ASSERT_EQ(mkfifo(at.c_str(), 0666), 0);
    }
    if (kind == "old file") std::ofstream(at) << "an earlier run's bytes";
  }

  fs::path dir;
};

TEST_F(HostileFiles, StagedFileIsAlwaysANewFileOfItsOwn) {
  const mode_t mask = umask(022);
  for (const char* kind : {"nothing", "symlink", "dangling symlink", "hard link", "fifo", "old file"}) {
    SCOPED_TRACE(kind);
    const fs::path target = dir / "backup.bin";
    fs::remove(target);
    plant(kind, dir / "backup.bin.partial");
    platform::StagedFile staged;
    ASSERT_NE(platform::stagedOpen(&staged, target.c_str(), "wb+"), nullptr);
    struct stat status;
    ASSERT_EQ(lstat((dir / "backup.bin.partial").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);  // nobody else reads it meanwhile
    EXPECT_EQ(platform::fileWrite(staged.file, "new", 3), 3u);
    ASSERT_EQ(platform::stagedCommit(&staged), platform::StagedEnd::placed);
    EXPECT_EQ(readAll(dir / "victim"), "precious");
    ASSERT_EQ(lstat(target.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0644u);  // what a new file gets
    EXPECT_EQ(readAll(target), "new");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "backup.bin.partial")));
  }
  umask(mask);
}

TEST_F(HostileFiles, AFolderAtTheTemporaryNameStays) {
  fs::create_directory(dir / "dump.bin.partial");
  platform::StagedFile staged;
  EXPECT_EQ(platform::stagedOpen(&staged, (dir / "dump.bin").c_str(), "wb"), nullptr);
  EXPECT_TRUE(fs::is_directory(dir / "dump.bin.partial"));
}

// A dump named /dev/null by a script run as root must not turn the device
// into a file: no output takes the place of a device or socket node.
TEST_F(HostileFiles, NoOutputTakesThePlaceOfADevice) {
  const fs::path socketPath = dir / "socket";
  const int server = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::vector<fs::path> nodes = {socketPath};
  if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) nodes.push_back(dir / "null");
  for (const fs::path& node : nodes) {
    SCOPED_TRACE(node);
    platform::StagedFile staged;
    EXPECT_EQ(platform::stagedOpen(&staged, node.c_str(), "wb+"), nullptr);
    EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(node)));
    EXPECT_FALSE(fs::exists(node.string() + ".partial"));
  }
  close(server);
}

TEST_F(HostileFiles, InputsAreOnlyFilesWithASize) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
  fs::create_symlink(dir / "victim", dir / "link");
  struct Case {
    fs::path path;
    bool opens;
  };
  // A FIFO without a writer would block the open for ever.
  for (const Case& c : {Case{dir / "victim", true}, Case{dir / "link", true},
                        Case{dir / "fifo", false}, Case{"/dev/zero", false},
                        Case{"/dev/null", false}, Case{"/proc/cpuinfo", false},
                        Case{"/sys/kernel/mm/transparent_hugepage/enabled", false}}) {
    SCOPED_TRACE(c.path);
    platform::File* file = platform::fileOpen(c.path.c_str(), "rb");
    EXPECT_EQ(file != nullptr, c.opens);
    if (file != nullptr) platform::fileClose(file);
  }
}

TEST_F(HostileFiles, LogNeverFollowsALink) {
  struct Case {
    const char* kind;
    bool opens;
  };
  for (const Case& c : {Case{"nothing", true}, Case{"old file", true}, Case{"symlink", false},
                        Case{"dangling symlink", false}, Case{"fifo", false}}) {
    SCOPED_TRACE(c.kind);
    const fs::path log = dir / "run.log";
    fs::remove(log);
    plant(c.kind, log);
    platform::AppendFile* file = platform::appendFileOpen(log.c_str());
    EXPECT_EQ(file != nullptr, c.opens);
    if (file != nullptr) {
      EXPECT_TRUE(platform::appendFileWrite(file, "line\n", 5));
      platform::appendFileClose(file);
    }
    EXPECT_EQ(readAll(dir / "victim"), "precious");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
  }
}

// Another run of the program writes NAME.partial while it holds its lock;
// one that died left it unlocked.
TEST_F(HostileFiles, ATemporaryFileThatALiveRunHoldsIsLeftAlone) {
  for (const bool live : {true, false}) {
    SCOPED_TRACE(live ? "live run" : "dead run");
    const fs::path partial = dir / "backup.bin.partial";
    std::ofstream(partial) << "another run's half";
    const int other = open(partial.c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    if (live) {
      ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    }
    const fs::path target = dir / "backup.bin";
    platform::StagedFile staged;
    platform::File* file = platform::stagedOpen(&staged, target.c_str(), "wb");
    EXPECT_EQ(file != nullptr, !live);
    if (file != nullptr) {
      EXPECT_EQ(platform::stagedCommit(&staged), platform::StagedEnd::placed);
    }
    EXPECT_EQ(readAll(partial), live ? "another run's half" : "");
    EXPECT_EQ(fs::exists(dir / "backup.bin"), !live);
    close(other);
    fs::remove(dir / "backup.bin");
  }
}

// -d /dev/stdout (a link to /proc/self/fd/1) must not become a file.
TEST_F(HostileFiles, NoOutputThroughALinkToANonFile) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
  struct Case {
    fs::path target;
    bool replaced;
  };
  for (const Case& c : {Case{"/dev/null", false}, Case{"/proc/self/fd/1", false},
                        Case{dir / "fifo", false}, Case{dir, false},
                        Case{dir / "victim", true}}) {
    SCOPED_TRACE(c.target);
    const fs::path link = dir / "out.bin";
    fs::remove(link);
    fs::create_symlink(c.target, link);
    platform::StagedFile staged;
    platform::File* file = platform::stagedOpen(&staged, link.c_str(), "wb");
    EXPECT_EQ(file != nullptr, c.replaced);
    if (file != nullptr) {
      EXPECT_EQ(platform::stagedCommit(&staged), platform::StagedEnd::placed);
    }
    EXPECT_EQ(fs::is_symlink(link), !c.replaced);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out.bin.partial")));
    EXPECT_EQ(readAll(dir / "victim"), "precious");
  }
}

// What fs.protected_regular refuses where it is on: a file that another
// user put in a folder where anyone may make files.
TEST_F(HostileFiles, ALogOfAnotherUserInAStickyFolderIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  struct Case {
    mode_t folderMode;
    uid_t owner;
    bool opens;
  };
  for (const Case& c : {Case{01777, 65534, false}, Case{01777, 0, true}, Case{0755, 65534, true},
                        Case{0777, 65534, true}}) {
    SCOPED_TRACE(std::to_string(c.folderMode) + " " + std::to_string(c.owner));
    const fs::path folder = dir / "shared";
    fs::remove_all(folder);
    fs::create_directory(folder);
    ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
    std::ofstream(folder / "run.log") << "theirs\n";
    ASSERT_EQ(chown((folder / "run.log").c_str(), c.owner, c.owner), 0);
    platform::AppendFile* file = platform::appendFileOpen((folder / "run.log").c_str());
    EXPECT_EQ(file != nullptr, c.opens);
    if (file != nullptr) platform::appendFileClose(file);
  }
}

TEST_F(HostileFiles, TemporaryNamesTakeAsLongAPathAsLinux) {
  // 638 bytes: past an old 512-byte limit, well within PATH_MAX.
  fs::path target = dir;
  while (target.native().size() < 560) target /= std::string(60, 'd');
  fs::create_directories(target);
  target /= std::string(638 - target.native().size() - 1, 'f');
  ASSERT_EQ(target.native().size(), 638u);
  platform::StagedFile staged;
  ASSERT_NE(platform::stagedOpen(&staged, target.c_str(), "wb"), nullptr);
  EXPECT_EQ(platform::stagedCommit(&staged), platform::StagedEnd::placed);
  EXPECT_TRUE(fs::is_regular_file(target));
  const std::string tooLong(platform::kStagedNameCapacity, 'x');
  EXPECT_EQ(platform::stagedOpen(&staged, tooLong.c_str(), "wb"), nullptr);
}

}  // namespace
