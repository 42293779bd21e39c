// Where the POSIX platform's file streams lead. The platform's own rules
// (known modes, no directories, a pinned input) sit above this interface in
// posix_files.cpp, so they hold for every backend: the real files through
// stdio in velkoran, and whatever the test host puts in their place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace posixplatform {

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

// The files the platform's file operations use; each platform that builds
// on this layer defines it.
FileSystem& platformFileSystem();

}  // namespace posixplatform
