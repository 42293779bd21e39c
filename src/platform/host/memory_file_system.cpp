// Files in memory that behave as the stdio streams do where the program can
// see it: modes, emptying, positions past the end, the end-of-file flag.
#include <algorithm>
#include <cstring>

#include "platform/host/file_system.h"

namespace hostplatform {

namespace {

using Contents = MemoryFileSystem::Contents;

class MemoryStream : public FileStream {
 public:
  MemoryStream(std::shared_ptr<Contents> contents, OpenMode mode)
      : contents_(std::move(contents)), mode_(mode) {}

  size_t read(void* buffer, size_t count) override {
    if (mode_ == OpenMode::write) return 0;  // a write-only stream reads nothing
    const uint64_t size = contents_->size;
    const uint64_t available = position_ < size ? size - position_ : 0;
    const size_t given = static_cast<size_t>(std::min<uint64_t>(count, available));
    const std::vector<uint8_t>& head = contents_->bytes;
    auto* out = static_cast<uint8_t*>(buffer);
    for (size_t n = 0; n < given; ++n) {
      const uint64_t at = position_ + n;
      out[n] = at < head.size() ? head[static_cast<size_t>(at)] : 0;
    }
    position_ += given;
    if (given < count) atEnd_ = true;
    return given;
  }

  size_t write(const void* buffer, size_t count) override {
    if (mode_ == OpenMode::read) return 0;
    std::vector<uint8_t>& head = contents_->bytes;
    if (head.size() < position_) head.resize(static_cast<size_t>(position_), 0);
    // Over what is there, then on at the end (the usual case: appending).
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const size_t over = std::min<size_t>(count, head.size() - static_cast<size_t>(position_));
    if (over != 0) std::memcpy(head.data() + position_, bytes, over);
    head.insert(head.end(), bytes + over, bytes + count);
    const uint64_t end = position_ + count;
    position_ = end;
    contents_->size = std::max(contents_->size, end);
    return count;
  }

  int seek(int64_t position) override {
    if (position < 0) return -1;
    position_ = static_cast<uint64_t>(position);
    atEnd_ = false;
    return 0;
  }

  int seekEnd() override { return seek(static_cast<int64_t>(contents_->size)); }
  int64_t tell() override { return static_cast<int64_t>(position_); }
  bool atEnd() override { return atEnd_; }

  int close() override {
    delete this;
    return 0;
  }

 private:
  std::shared_ptr<Contents> contents_;
  OpenMode mode_;
  uint64_t position_ = 0;
  bool atEnd_ = false;
};

}  // namespace

bool MemoryFileSystem::parentExists(const std::string& name) const {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos || slash == 0 || directories_.count(name.substr(0, slash)) != 0;
}

FileStream* MemoryFileSystem::open(const char* name, OpenMode mode) {
  const std::string key = name;
  if (key.empty() || isDirectory(name)) return nullptr;
  auto found = files_.find(key);
  if (mode == OpenMode::read) {
    if (found == files_.end()) return nullptr;
    return new MemoryStream(found->second, mode);
  }
  if (found == files_.end()) {
    if (!parentExists(key) || key.back() == '/') return nullptr;
    found = files_.emplace(key, std::make_shared<Contents>()).first;
  }
  *found->second = Contents{};
  return new MemoryStream(found->second, mode);
}

FileStream* MemoryFileSystem::create(const char* name, OpenMode mode) {
  if (mode == OpenMode::read || exists(name)) return nullptr;
  return open(name, mode);
}

bool MemoryFileSystem::isDirectory(const char* name) {
  std::string key = name;
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key == "." || key == "/" || directories_.count(key) != 0;
}

int MemoryFileSystem::remove(const char* name) {
  if (files_.erase(name) != 0) return 0;
  // Only an empty directory goes.
  const std::string inside = std::string(name) + "/";
  auto next = files_.lower_bound(inside);
  if (next != files_.end() && next->first.compare(0, inside.size(), inside) == 0) return -1;
  return directories_.erase(name) != 0 ? 0 : -1;
}

bool MemoryFileSystem::sameFile(const char* a, const char* b) {
  return std::string(a) == std::string(b);
}

int MemoryFileSystem::rename(const char* from, const char* to) {
  auto found = files_.find(from);
  if (found == files_.end() || isDirectory(to) || !parentExists(to)) return -1;
  std::shared_ptr<Contents> contents = found->second;
  files_.erase(found);
  files_[to] = std::move(contents);
  return 0;
}

void MemoryFileSystem::setFile(const std::string& name, const std::vector<uint8_t>& contents) {
  setSparseFile(name, contents, contents.size());
}

void MemoryFileSystem::setSparseFile(const std::string& name, const std::vector<uint8_t>& head,
                                     uint64_t size) {
  auto contents = std::make_shared<Contents>();
  contents->bytes.assign(head.begin(), head.begin() + std::min<uint64_t>(head.size(), size));
  contents->size = size;
  files_[name] = std::move(contents);
}

void MemoryFileSystem::makeDirectory(const std::string& name) { directories_.insert(name); }

bool MemoryFileSystem::exists(const std::string& name) const {
  return files_.count(name) != 0 || directories_.count(name) != 0;
}

std::vector<uint8_t> MemoryFileSystem::contents(const std::string& name) const {
  auto found = files_.find(name);
  if (found == files_.end()) return {};
  std::vector<uint8_t> bytes = found->second->bytes;
  bytes.resize(static_cast<size_t>(found->second->size), 0);
  return bytes;
}

void MemoryFileSystem::clear() {
  files_.clear();
  directories_.clear();
}

}  // namespace hostplatform
