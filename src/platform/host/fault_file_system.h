// A file system laid over another that injects the faults of Faults: a full
// volume, a loss that shows only at flush or close, piecewise reads, a read
// error inside a file, failing closes and renames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host/file_system.h"
#include "platform/host/host.h"

namespace hostplatform {

class FaultInjectingFileSystem : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(const Faults& faults) : faults_(faults) {}

  // The file system the faults are laid over.
  void setInner(FileSystem& inner) { inner_ = &inner; }
  // Starts a new count of bytes written for Faults::writeLimit.
  void resetWrittenBytes() { written_ = 0; }

  FileStream* open(const char* name, OpenMode mode) override;
  FileStream* create(const char* name, OpenMode mode) override;
  bool isDirectory(const char* name) override { return inner_->isDirectory(name); }
  bool isDevice(const char* name) override { return inner_->isDevice(name); }
  int remove(const char* name) override { return inner_->remove(name); }
  int rename(const char* from, const char* to) override;
  bool sameFile(const char* a, const char* b) override { return inner_->sameFile(a, b); }

 private:
  friend class FaultInjectingStream;

  FileStream* wrap(FileStream* stream);
  // How many of count bytes may still be written before the volume is full.
  size_t writableBytes(size_t count) const;

  const Faults& faults_;
  FileSystem* inner_ = &stdioFileSystem();
  int64_t written_ = 0;  // in all files, for Faults::writeLimit
};

}  // namespace hostplatform
