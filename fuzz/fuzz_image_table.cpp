// The image table reader on one page and the page scan over a whole file.
// The first input byte picks how the rest becomes an image:
//   0: the bytes are one page, as they are;
//   1: the bytes are a table text, enciphered as images carry it;
//   2: the bytes, split at "\n\n\n", are tables at the starts of successive
//      pages (several table pages, the ninth region, stale bytes).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#if VELKORAN_FUZZ_WITH_OPENSSL
#include <openssl/evp.h>
#endif

#include "image/aes.h"
#include "image/image_table.h"
#include "image/region_list.h"
#include "platform/host/file_system.h"
#include "platform/host/host.h"

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool condition) {
  if (!condition) std::abort();
}

Bytes encipherFirstBlocks(const uint8_t* data, size_t size) {
  Bytes plain(192, 0);
  for (size_t i = 0; i < size && i < plain.size(); ++i) plain[i] = data[i];
#if VELKORAN_FUZZ_WITH_OPENSSL
  uint8_t key[16], iv[16];
  imageTableKey(key);
  imageTableIv(iv);
  Bytes out(plain.size() + 16);
  int written = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, out.data(), &written, plain.data(), static_cast<int>(plain.size()));
  EVP_CIPHER_CTX_free(ctx);
  out.resize(plain.size());
  return out;
#else
  return plain;
#endif
}

Bytes pagesFromTables(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Bytes file;
  size_t start = 0;
  while (start <= text.size() && file.size() < 10 * kPageSize) {
    size_t end = text.find("\n\n\n", start);
    if (end == std::string::npos) end = text.size();
    file.resize(file.size() % kPageSize == 0 ? file.size() : (file.size() / kPageSize + 1) * kPageSize, 0);
    file.insert(file.end(), text.begin() + start, text.begin() + end);
    start = end + 3;
  }
  return file;
}

void checkList(uint8_t tablePages, const RegionList& list) {
  check(list.count <= kMaxRegions);
  check(tablePages <= list.count);
  if (list.refused) check(tablePages == 0 && list.count == 0);
}

void scanAsFile(const Bytes& image) {
  // The scan reads the image through the platform's files, held in memory.
  static hostplatform::MemoryFileSystem files;
  files.setFile("image.bin", image);
  hostplatform::setFileSystem(&files);
  platform::File* file = platform::fileOpen("image.bin", "rb");
  check(file != nullptr);
  Bytes pageBuffer(kPageSize);
  RegionList list;
  checkList(buildRegionList(file, image.size(), pageBuffer.data(), &list), list);
  platform::fileClose(file);
  hostplatform::setFileSystem(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 3;
  ++data;
  --size;
  Bytes image;
  if (mode == 0) image.assign(data, data + size);
  if (mode == 1) image = encipherFirstBlocks(data, size);
  if (mode == 2) image = pagesFromTables(data, size);

  static std::string console;
  hostplatform::captureConsole(&console);
  // The reader gets a page exactly as long as its bytes: ASan sees any
  // read past them.
  const Bytes page(image.begin(), image.begin() + std::min<size_t>(image.size(), kPageSize));
  RegionList list{};
  const int found = find_respective_image_info(page.data(), page.size(), &list);
  check(found == 0 || found == 1);
  check(list.count <= kMaxRegions);
  scanAsFile(image);
  hostplatform::captureConsole(nullptr);
  console.clear();
  return 0;
}
