#include "platform/linux/bmc_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace linuxplatform {
namespace {

constexpr size_t kReadableLength = 120;

bool keptAsIs(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-';
}

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3u;
  }
  return hash;
}

}  // namespace

std::string bmcLockPath(const std::string& way) {
  std::string name;
  bool changed = way.empty() || way.size() > kReadableLength;
  for (const char c : way.substr(0, kReadableLength)) {
    name += keptAsIs(c) ? c : '_';
    changed = changed || !keptAsIs(c);
  }
  if (changed) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "-%016llx", static_cast<unsigned long long>(fnv1a(way)));
    name += hash;
  }
  return std::string(kLockFolder) + "/velkoran-" + name + ".lock";
}

LockResult lockBmc(const std::string& way, std::string* problem) {
  const std::string path = bmcLockPath(way);
  // Read-only and never truncated: a file someone else made there stays as
  // it is; O_NONBLOCK keeps a FIFO planted at the name from stopping us.
  const int fd =
      open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  struct stat status;
  // A system without the folder (a rescue shell's bare root) has no lock
  // for anyone: nothing to take and nothing to say.
  if (fd < 0 && errno == ENOENT) return LockResult::taken;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *problem = path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
    if (fd >= 0) close(fd);
    return LockResult::unavailable;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::taken;  // held until exit
  const int error = errno;
  close(fd);
  if (error == EWOULDBLOCK) return LockResult::busy;
  *problem = path + ": " + std::strerror(error);
  return LockResult::unavailable;
}

}  // namespace linuxplatform
