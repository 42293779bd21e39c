// The real files, through stdio streams.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/file_system.h"

namespace posixplatform {

namespace {

class StdioStream : public FileStream {
 public:
  explicit StdioStream(std::FILE* stream) : stream_(stream) {}

  size_t read(void* buffer, size_t count) override {
    return std::fread(buffer, 1, count, stream_);
  }
  size_t write(const void* buffer, size_t count) override {
    return std::fwrite(buffer, 1, count, stream_);
  }
  int seek(int64_t position) override {
    if (position < 0) return -1;
    return std::fseek(stream_, static_cast<long>(position), SEEK_SET) == 0 ? 0 : -1;
  }
  int seekEnd() override { return std::fseek(stream_, 0, SEEK_END) == 0 ? 0 : -1; }
  int64_t tell() override { return std::ftell(stream_); }
  bool atEnd() override { return std::feof(stream_) != 0; }
  int flush() override { return std::fflush(stream_) == 0 ? 0 : -1; }
  int close() override {
    const int result = std::fclose(stream_);
    delete this;
    return result == 0 ? 0 : -1;
  }

 private:
  std::FILE* stream_;
};

// What a new file gets from fopen: everything the umask lets through.
mode_t usualMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

StdioStream* streamOf(int fd, const char* mode) {
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, mode);
  if (stream != nullptr) return new StdioStream(stream);
  close(fd);
  return nullptr;
}

// The kernel's own files look regular but have no size: what they hold is
// made as they are read.
bool generatedByTheKernel(int fd) {
  struct statfs volume;
  if (fstatfs(fd, &volume) != 0) return true;
  for (const auto kind : {PROC_SUPER_MAGIC, SYSFS_MAGIC, DEBUGFS_MAGIC, TRACEFS_MAGIC,
                          SECURITYFS_MAGIC}) {
    if (volume.f_type == static_cast<decltype(volume.f_type)>(kind)) return true;
  }
  return false;
}

// Inputs are files with a size: a FIFO would block the open (hence
// O_NONBLOCK), a device or a /proc file has no size to announce.
StdioStream* openInput(const char* name) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
                  generatedByTheKernel(fd))) {
    close(fd);
    return nullptr;
  }
  return streamOf(fd, "rb");
}

// A temporary file that this run made and holds, until it is put in place
// or removed: a second descriptor keeps the lock after the stream closes, so
// that no other run takes the complete file before it is renamed.
struct Claim {
  std::string name;
  dev_t device;
  ino_t inode;
  int fd;
};

std::vector<Claim>& claims() {
  static std::vector<Claim> held;
  return held;
}

bool sameNode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Locks the new file at name for this run; false when another run got to it
// first (it then removes it) or something else now has the name.
bool claimNewFile(const char* name, int fd) {
  struct stat opened, named;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &opened) != 0 ||
      lstat(name, &named) != 0 || !sameNode(opened, named)) {
    return false;
  }
  const int kept = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (kept >= 0) claims().push_back(Claim{name, opened.st_dev, opened.st_ino, kept});
  return true;
}

// The claim this run holds on name, if any.
const Claim* claimOf(const char* name) {
  for (const Claim& claim : claims()) {
    if (claim.name == name) return &claim;
  }
  return nullptr;
}

void releaseClaim(const char* name) {
  auto& held = claims();
  for (auto it = held.begin(); it != held.end(); ++it) {
    if (it->name == name) {
      close(it->fd);
      held.erase(it);
      return;
    }
  }
}

// Removes what has the name unless another live run holds it as its file
// (its lock, which ends with that run); the lock is taken for the removal,
// so that two runs never both remove and remake it.
int removeUnlessHeld(const char* name) {
  releaseClaim(name);
  const int fd = ::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return unlink(name) == 0 ? 0 : -1;  // a link, a socket, or nothing
  struct stat opened, named;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  const bool same = free && fstat(fd, &opened) == 0 && lstat(name, &named) == 0 &&
                    sameNode(opened, named);
  const int result = same && unlink(name) == 0 ? 0 : -1;
  close(fd);
  return result;
}

class StdioFileSystem : public FileSystem {
 public:
  FileStream* open(const char* name, OpenMode mode) override {
    if (mode == OpenMode::read) return openInput(name);
    std::FILE* stream = std::fopen(name, modeText(mode));
    return stream == nullptr ? nullptr : new StdioStream(stream);
  }
  // Never through a link, never an entry that is there: only the owner may
  // read it until it is put in place.
  FileStream* create(const char* name, OpenMode mode) override {
    const int access = mode == OpenMode::writeAndRead ? O_RDWR : O_WRONLY;
    const int fd = ::open(name, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 && !claimNewFile(name, fd)) {
      close(fd);
      return nullptr;
    }
    return streamOf(fd, mode == OpenMode::writeAndRead ? "wb+" : "wb");
  }
  bool isDirectory(const char* name) override {
    struct stat status;
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
  }
  // A device or socket node, or a link to anything but a regular file
  // (/dev/stdout leads to a pipe or a terminal): output through it would go
  // elsewhere, and replacing it would break it.
  bool isDevice(const char* name) override {
    struct stat status;
    if (lstat(name, &status) != 0) return false;
    if (S_ISLNK(status.st_mode)) return stat(name, &status) == 0 && !S_ISREG(status.st_mode);
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISSOCK(status.st_mode);
  }
  // A link goes itself, not what it leads to; a folder refuses, and so does
  // a file that another live run is writing.
  int remove(const char* name) override { return removeUnlessHeld(name); }
  // Only a regular file takes the target's place, with the mode a new file
  // would have had; a temporary file of this run only while it is still the
  // one this run made.
  int rename(const char* from, const char* to) override {
    const int fd = ::open(from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    bool regular = fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                   fchmod(fd, usualMode()) == 0;
    const Claim* claim = claimOf(from);
    if (regular && claim != nullptr) {
      regular = claim->device == status.st_dev && claim->inode == status.st_ino;
    }
    if (fd >= 0) close(fd);
    if (!regular || std::rename(from, to) != 0) return -1;
    releaseClaim(from);
    return 0;
  }
  bool sameFile(const char* a, const char* b) override {
    struct stat statusA, statusB;
    const bool existsA = stat(a, &statusA) == 0;
    const bool existsB = stat(b, &statusB) == 0;
    if (existsA && existsB) {
      return statusA.st_dev == statusB.st_dev && statusA.st_ino == statusB.st_ino;
    }
    return !existsA && !existsB && placeOf(a) == placeOf(b);
  }

 private:
  // Where a file of this name would be made: its folder resolved, then the
  // name within it. A folder that cannot be resolved leaves the name as is.
  static std::string placeOf(const char* name) {
    const std::string path(name);
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char* resolved = realpath(folder.c_str(), nullptr);
    if (resolved == nullptr || base.empty()) {
      std::free(resolved);
      return path;
    }
    std::string place = std::string(resolved) + "/" + base;
    std::free(resolved);
    return place;
  }

  static const char* modeText(OpenMode mode) {
    switch (mode) {
      case OpenMode::read: return "rb";
      case OpenMode::write: return "wb";
      case OpenMode::writeAndRead: return "wb+";
    }
    return "rb";
  }
};

}  // namespace

FileStream* adoptInput(int fd) { return streamOf(fd, "rb"); }

FileSystem& stdioFileSystem() {
  static StdioFileSystem instance;
  return instance;
}

}  // namespace posixplatform
