// Where the host platform's file streams lead: the real files through stdio,
// or files held in memory so that tests and fuzzers run without a disk. The
// platform's own rules (known modes, no directories, fault knobs) sit above
// this interface in host_files.cpp, so they hold for every backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace hostplatform {

enum class OpenMode {
  read,          // "r", "rb": the file must exist
  write,         // "wb": created or emptied
  writeAndRead,  // "wb+": created or emptied, and readable
};

// One open file, positioned like a stdio stream.
class FileStream {
 public:
  virtual ~FileStream() = default;
  // Bytes read from the position; short at the end, which sets atEnd().
  virtual size_t read(void* buffer, size_t count) = 0;
  virtual size_t write(const void* buffer, size_t count) = 0;
  // Absolute position; 0 on success, -1 on failure. Clears atEnd().
  virtual int seek(int64_t position) = 0;
  virtual int seekEnd() = 0;
  virtual int64_t tell() = 0;
  // True once a read has hit the end of the file.
  virtual bool atEnd() = 0;
  // Hands buffered data on; -1 if that failed.
  virtual int flush() { return 0; }
  // Writes out what is buffered and releases the stream (deletes this);
  // -1 if writing failed.
  virtual int close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // nullptr when the file cannot be opened in this mode.
  virtual FileStream* open(const char* name, OpenMode mode) = 0;
  // A new file in a writing mode, held by this run until it is renamed or
  // removed; nullptr when anything has the name.
  virtual FileStream* create(const char* name, OpenMode mode) = 0;
  virtual bool isDirectory(const char* name) = 0;
  // A device or socket node, or a link that leads to anything but a regular
  // file: no output takes its place or goes through it.
  virtual bool isDevice(const char*) { return false; }
  // 0 on success, -1 on failure (also for a new file that another live run
  // of the program is writing, where runs can tell).
  virtual int remove(const char* name) = 0;
  // Replaces the file `to` if it exists; 0 on success, -1 on failure.
  virtual int rename(const char* from, const char* to) = 0;
  // As platform::sameFile.
  virtual bool sameFile(const char* a, const char* b) = 0;
};

// The real files, relative to the current directory.
FileSystem& stdioFileSystem();
// A stream that reads the open descriptor fd (and closes it).
FileStream* adoptInput(int fd);

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

// The backend the platform's file operations use; nullptr (and resetAll())
// chooses the stdio one.
void setFileSystem(FileSystem* fileSystem);
FileSystem& fileSystem();

}  // namespace hostplatform
