// The real files, through stdio streams.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/file_system.h"

namespace hostplatform {

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

class StdioFileSystem : public FileSystem {
 public:
  FileStream* open(const char* name, OpenMode mode) override {
    std::FILE* stream = std::fopen(name, modeText(mode));
    return stream == nullptr ? nullptr : new StdioStream(stream);
  }
  bool isDirectory(const char* name) override {
    struct stat status;
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
  }
  int remove(const char* name) override { return std::remove(name) == 0 ? 0 : -1; }
  int rename(const char* from, const char* to) override {
    return std::rename(from, to) == 0 ? 0 : -1;
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

FileSystem& stdioFileSystem() {
  static StdioFileSystem instance;
  return instance;
}

}  // namespace hostplatform
