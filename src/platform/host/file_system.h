// The test host's file systems: files held in memory so that tests and
// fuzzers run without a disk, and the faults of a full volume, piecewise
// reads and failing closes laid over whichever file system is chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/file_system.h"

namespace hostplatform {

using posixplatform::adoptInput;
using posixplatform::FileStream;
using posixplatform::FileSystem;
using posixplatform::OpenMode;
using posixplatform::stdioFileSystem;

// Files and directories held in memory, names taken as they are given
// ("a/b" is file b in directory a; "./a" is not "a"). A file keeps a length
// of its own, so that a large file whose tail reads as zeros costs only its
// head. Files are renamed, directories are not.
class MemoryFileSystem : public FileSystem {
 public:
  FileStream* open(const char* name, OpenMode mode) override;
  FileStream* create(const char* name, OpenMode mode) override;
  bool isDirectory(const char* name) override;
  int remove(const char* name) override;
  int rename(const char* from, const char* to) override;
  // Names are files of their own here: only the same name is the same file.
  bool sameFile(const char* a, const char* b) override;

  // For the tests and tools that arrange files.
  void setFile(const std::string& name, const std::vector<uint8_t>& contents);
  // A file of `size` bytes that starts with head and reads as zeros after.
  void setSparseFile(const std::string& name, const std::vector<uint8_t>& head, uint64_t size);
  void makeDirectory(const std::string& name);
  bool exists(const std::string& name) const;
  // The whole contents; empty for a missing file.
  std::vector<uint8_t> contents(const std::string& name) const;
  void clear();

  struct Contents {
    std::vector<uint8_t> bytes;  // the head; the rest up to size reads as 0
    uint64_t size = 0;
  };

 private:
  bool parentExists(const std::string& name) const;

  // Shared with the open streams: a file removed or replaced while open
  // stays readable through them, as on a POSIX disk.
  std::map<std::string, std::shared_ptr<Contents>> files_;
  std::set<std::string> directories_;
};

// The backend the platform's file operations use, under the faults of
// faults(); nullptr (and resetAll()) chooses the stdio one.
void setFileSystem(FileSystem* fileSystem);
FileSystem& fileSystem();

}  // namespace hostplatform
