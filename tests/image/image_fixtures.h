// Pages, enciphered tables and sparse image files for the image tests.
#pragma once

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "image/aes.h"
#include "image/image_table.h"
#include "image/region_list.h"
#include "platform/host/host.h"

namespace imagetest {

using Bytes = std::vector<uint8_t>;

struct Region {
  uint64_t offset;
  uint64_t blockLength;
  uint64_t length;
  bool operator==(const Region&) const = default;
};

inline void PrintTo(const Region& r, std::ostream* os) {
  *os << std::hex << "{0x" << r.offset << ", 0x" << r.blockLength << ", 0x" << r.length << "}";
}

inline std::vector<Region> listedRegions(const RegionList& regions) {
  std::vector<Region> list;
  for (int i = 0; i < regions.count; ++i) {
    const ImageRegion& r = regions.regions[i];
    list.push_back({r.offset, r.blockLength, r.length});
  }
  return list;
}

// Enciphers with OpenSSL, an implementation independent of ours.
inline Bytes encipherCbc(const uint8_t* key, const uint8_t* iv, const Bytes& plain) {
  Bytes out(plain.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int written = 0, last = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &written, plain.data(), static_cast<int>(plain.size())), 1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + written, &last), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(written + last));
  return out;
}

// The 192 enciphered bytes that carry `text` (zero-padded).
inline Bytes encipheredTable(std::string text) {
  Bytes plain(192, 0);
  if (text.size() > plain.size()) ADD_FAILURE() << "table text too long to encipher";
  text.resize(std::min(text.size(), plain.size()));
  std::copy(text.begin(), text.end(), plain.begin());
  uint8_t key[16], iv[16];
  imageTableKey(key);
  imageTableIv(iv);
  return encipherCbc(key, iv, plain);
}

inline Bytes pageWithText(const std::string& text, size_t size = kPageSize) {
  Bytes page(size, 0);
  std::copy(text.begin(), text.end(), page.begin());
  return page;
}

struct ReadResult {
  int result;
  std::vector<Region> regions;
  std::string console;
  bool refused;
};

// Runs the table reader on the page, from an empty list.
inline ReadResult readTable(const Bytes& page) {
  RegionList list{};
  std::string console;
  hostplatform::captureConsole(&console);
  int result = find_respective_image_info(page.data(), page.size(), &list);
  hostplatform::captureConsole(nullptr);
  return {result, listedRegions(list), console, list.refused};
}

// A sparse file in the test's temporary directory, removed at the end.
class ImageFile {
 public:
  explicit ImageFile(uint64_t size) {
    path_ = testing::TempDir() + "velkoran_image_" + std::to_string(getpid()) + "_" +
            std::to_string(counter()++) + ".bin";
    int fd = open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    close(fd);
  }
  ~ImageFile() { unlink(path_.c_str()); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  void put(uint64_t offset, const Bytes& bytes) const {
    int fd = open(path_.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  void put(uint64_t offset, const std::string& text) const { put(offset, Bytes(text.begin(), text.end())); }
  const std::string& path() const { return path_; }

 private:
  static int& counter() {
    static int next = 0;
    return next;
  }
  std::string path_;
};

struct ScanResult {
  uint8_t tablePages;
  std::vector<Region> regions;
  std::string console;
  bool refused;
};

// Scans the file as the update does, claiming `size` bytes, into `list`
// (whatever it held before).
inline ScanResult scanImage(const std::string& path, uint64_t size, RegionList* list) {
  std::string console;
  hostplatform::captureConsole(&console);
  platform::File* file = platform::fileOpen(path.c_str(), "rb");
  EXPECT_NE(file, nullptr);
  std::vector<uint8_t> pageBuffer(kPageSize, 0xA5);
  uint8_t pages = buildRegionList(file, size, pageBuffer.data(), list);
  platform::fileClose(file);
  hostplatform::captureConsole(nullptr);
  return {pages, listedRegions(*list), console, list->refused};
}

inline ScanResult scanImage(const std::string& path, uint64_t size) {
  RegionList list;
  return scanImage(path, size, &list);
}

}  // namespace imagetest
