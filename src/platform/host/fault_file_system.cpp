#include "platform/host/fault_file_system.h"

namespace hostplatform {

class FaultInjectingStream : public FileStream {
 public:
  FaultInjectingStream(FileStream* inner, FaultInjectingFileSystem& files)
      : inner_(inner), files_(files) {}

  size_t read(void* buffer, size_t count) override {
    const Faults& faults = files_.faults_;
    if (faults.readPieceLimit != 0 && count > faults.readPieceLimit) count = faults.readPieceLimit;
    if (faults.readFailsAt >= 0) {
      const int64_t position = inner_->tell();
      const int64_t before = position < faults.readFailsAt ? faults.readFailsAt - position : 0;
      if (static_cast<uint64_t>(before) < count) count = static_cast<size_t>(before);
    }
    return inner_->read(buffer, count);
  }

  size_t write(const void* buffer, size_t count) override {
    const size_t allowed = files_.writableBytes(count);
    const size_t written = allowed == 0 ? 0 : inner_->write(buffer, allowed);
    files_.written_ += static_cast<int64_t>(written);
    if (written < count && files_.faults_.writeLossShowsLate) {
      writeLost_ = true;
      return count;
    }
    return written;
  }

  int seek(int64_t position) override { return inner_->seek(position); }
  int seekEnd() override { return inner_->seekEnd(); }
  int64_t tell() override { return inner_->tell(); }
  bool atEnd() override { return inner_->atEnd(); }
  int flush() override { return inner_->flush() == 0 && !writeLost_ ? 0 : -1; }

  int close() override {
    int result = inner_->close();
    if (writeLost_ || files_.faults_.closeFails) result = -1;
    delete this;
    return result;
  }

 private:
  FileStream* inner_;
  FaultInjectingFileSystem& files_;
  bool writeLost_ = false;  // a write fell short without saying so
};

FileStream* FaultInjectingFileSystem::wrap(FileStream* stream) {
  return stream == nullptr ? nullptr : new FaultInjectingStream(stream, *this);
}

FileStream* FaultInjectingFileSystem::open(const char* name, OpenMode mode) {
  return wrap(inner_->open(name, mode));
}

FileStream* FaultInjectingFileSystem::create(const char* name, OpenMode mode) {
  return wrap(inner_->create(name, mode));
}

int FaultInjectingFileSystem::rename(const char* from, const char* to) {
  if (faults_.replaceFails) return -1;
  return inner_->rename(from, to);
}

size_t FaultInjectingFileSystem::writableBytes(size_t count) const {
  if (faults_.writeLimit < 0) return count;
  const int64_t left = faults_.writeLimit - written_;
  if (left <= 0) return 0;
  return static_cast<uint64_t>(left) < count ? static_cast<size_t>(left) : count;
}

}  // namespace hostplatform
