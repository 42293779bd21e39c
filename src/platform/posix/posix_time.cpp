// The system's calendar time and append-only files on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/posix/posix.h"

namespace posixplatform {
namespace {

using platform::CalendarTime;

CalendarTime fromTm(const std::tm& time) {
  return CalendarTime{static_cast<uint16_t>(time.tm_year + 1900),
                      static_cast<uint8_t>(time.tm_mon + 1), static_cast<uint8_t>(time.tm_mday),
                      static_cast<uint8_t>(time.tm_hour), static_cast<uint8_t>(time.tm_min),
                      static_cast<uint8_t>(time.tm_sec)};
}

}  // namespace

bool systemLocalTime(CalendarTime* now) {
  std::time_t seconds = std::time(nullptr);
  std::tm local;
  if (localtime_r(&seconds, &local) == nullptr) return false;
  *now = fromTm(local);
  return true;
}

bool systemUniversalTime(CalendarTime* now) {
  std::time_t seconds = std::time(nullptr);
  std::tm utc;
  if (gmtime_r(&seconds, &utc) == nullptr) return false;
  *now = fromTm(utc);
  return true;
}

}  // namespace posixplatform

namespace platform {

struct AppendFile {
  std::FILE* stream;
};

namespace {

// A file of another user in a folder where anyone may make files but only
// their owner remove them (/tmp): that user chose it, and may have put it
// there for us to write into (what fs.protected_regular refuses).
bool plantedInStickyFolder(const char* name, const struct stat& file) {
  if (file.st_uid == geteuid()) return false;
  std::string folder(name);
  const size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
  struct stat status;
  if (stat(folder.c_str(), &status) != 0) return true;
  return (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
}

}  // namespace

// Never through a link at the name, and only into a regular file: run as
// root, the log must not reach a file someone else chose.
AppendFile* appendFileOpen(const char* name) {
  const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      0666);
  if (fd < 0) return nullptr;
  struct stat status;
  std::FILE* stream = nullptr;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      !plantedInStickyFolder(name, status)) {
    stream = fdopen(fd, "ab");
  }
  if (stream == nullptr) {
    close(fd);
    return nullptr;
  }
  return new AppendFile{stream};
}

bool appendFileWrite(AppendFile* file, const char* text, size_t length) {
  if (std::fwrite(text, 1, length, file->stream) != length) return false;
  // On the disk, not only in our buffer, before the next line is printed.
  // A pipe or terminal cannot be synced and needs no syncing.
  return std::fflush(file->stream) == 0 &&
         (fsync(fileno(file->stream)) == 0 || errno == EINVAL);
}

void appendFileClose(AppendFile* file) {
  std::fclose(file->stream);
  delete file;
}

}  // namespace platform
