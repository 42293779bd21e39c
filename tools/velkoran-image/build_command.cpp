// velkoran-image build: part files at their offsets plus image table pages.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/aes.h"
#include "image/region_list.h"
#include "tool_common.h"

namespace imagetool {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kEncipheredTableLength = 192;
constexpr size_t kMaxNameLength = 127;
constexpr char kWebfsImageName[] = "out_webfs_img.bin";
constexpr uint64_t kWebfsSizeAdjustment = 22;
// The update sends offsets and lengths as their low 32 bits.
constexpr uint64_t kMaxImageSize = uint64_t{1} << 32;

struct Part {
  std::string path;
  uint64_t offset = 0;
  std::string name;
  uint64_t value = 0;
  Bytes bytes;
};

struct BuildOptions {
  std::string output;
  bool encipher = false;
  bool noTable = false;
  std::vector<uint64_t> tableOffsets;
  std::string tableTextFile;
  bool sizeGiven = false;
  uint64_t size = 0;
  uint8_t fill = 0xFF;
  std::vector<Part> parts;
};

// One run of bytes placed in the image.
struct Piece {
  uint64_t offset;
  Bytes bytes;
  std::string what;
};

bool readWholeFile(const std::string& path, Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// FILE@OFFSET[:NAME[:VALUE]]
std::string parsePart(const std::string& text, Part* part) {
  const size_t at = text.rfind('@');
  if (at == std::string::npos || at == 0) return "part '" + text + "' is not FILE@OFFSET[:NAME[:VALUE]]";
  part->path = text.substr(0, at);
  std::string rest = text.substr(at + 1);
  const size_t colon = rest.find(':');
  if (!parseNumber(rest.substr(0, colon), &part->offset)) return "bad offset in part '" + text + "'";
  part->name = baseName(part->path);
  if (colon == std::string::npos) return "";
  rest = rest.substr(colon + 1);
  const size_t second = rest.find(':');
  part->name = rest.substr(0, second);
  if (second != std::string::npos && !parseNumber(rest.substr(second + 1), &part->value)) {
    return "bad value in part '" + text + "'";
  }
  return "";
}

std::string parseOption(const std::vector<std::string>& args, size_t* i, BuildOptions* options) {
  const std::string& option = args[*i];
  const bool takesValue = option == "-o" || option == "--output" || option == "--table-offset" ||
                          option == "--table-text" || option == "--size" || option == "--fill";
  if (takesValue && *i + 1 >= args.size()) return option + " needs a value";
  const std::string value = takesValue ? args[++*i] : "";
  uint64_t number = 0;
  if (option == "-o" || option == "--output") {
    options->output = value;
  } else if (option == "--encipher") {
    options->encipher = true;
  } else if (option == "--no-table") {
    options->noTable = true;
  } else if (option == "--table-text") {
    options->tableTextFile = value;
  } else if (!takesValue) {
    return "unknown option '" + option + "' (try --help)";
  } else if (!parseNumber(value, &number)) {
    return "bad number '" + value + "' for " + option;
  } else if (option == "--table-offset") {
    if (number % kPageSize != 0) return "table offset " + value + " is not a multiple of 0x8000";
    options->tableOffsets.push_back(number);
  } else if (option == "--size") {
    options->sizeGiven = true;
    options->size = number;
  } else {
    if (number > 0xFF) return "fill value " + value + " is not a byte";
    options->fill = static_cast<uint8_t>(number);
  }
  return "";
}

std::string parseBuildArgs(const std::vector<std::string>& args, BuildOptions* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string error;
    if (args[i].size() > 1 && args[i][0] == '-') {
      error = parseOption(args, &i, options);
    } else {
      options->parts.emplace_back();
      error = parsePart(args[i], &options->parts.back());
    }
    if (!error.empty()) return error;
  }
  if (options->output.empty()) return "no output file given (-o OUT)";
  if (options->noTable && (options->encipher || !options->tableOffsets.empty() || !options->tableTextFile.empty())) {
    return "--no-table cannot be combined with table options";
  }
  return "";
}

std::string checkName(const Part& part) {
  if (part.name.empty()) return "part " + part.path + " has an empty name";
  if (part.name.size() > kMaxNameLength) return "name " + part.name + " is longer than 127 characters";
  if (part.name.find_first_of(" \t\n\v\f\r") != std::string::npos) {
    return "name '" + part.name + "' holds white space (give NAME after the offset)";
  }
  return "";
}

std::string tableEntry(const Part& part) {
  uint64_t listedSize = part.bytes.size();
  if (part.name.compare(0, sizeof(kWebfsImageName) - 1, kWebfsImageName) == 0) {
    listedSize -= kWebfsSizeAdjustment;
  }
  char fields[64];
  std::snprintf(fields, sizeof fields, "%llx %llx %llx ", static_cast<unsigned long long>(part.offset),
                static_cast<unsigned long long>(listedSize), static_cast<unsigned long long>(part.value));
  return "[img]: " + std::string(fields) + part.name + "\n";
}

std::string loadParts(std::vector<Part>* parts) {
  for (Part& part : *parts) {
    if (!readWholeFile(part.path, &part.bytes)) return "cannot read part " + part.path + ": " + systemError();
    if (part.offset > kMaxImageSize || part.bytes.size() > kMaxImageSize - part.offset) {
      return "part " + part.path + " would reach past 4 GiB";
    }
    std::string error = checkName(part);
    if (!error.empty()) return error;
    if (part.name.compare(0, sizeof(kWebfsImageName) - 1, kWebfsImageName) == 0 &&
        part.bytes.size() < kWebfsSizeAdjustment) {
      return "part " + part.name + " is shorter than the 22 bytes its listed size leaves out";
    }
  }
  return "";
}

std::string encipher(const std::string& text, Bytes* out) {
  if (text.size() > kEncipheredTableLength) {
    return "the table text has " + std::to_string(text.size()) + " bytes; an enciphered table holds at most 192";
  }
  Bytes plain(kEncipheredTableLength, 0);
  std::copy(text.begin(), text.end(), plain.begin());
  uint8_t key[16], iv[16];
  imageTableKey(key);
  imageTableIv(iv);
  out->assign(kEncipheredTableLength + 16, 0);
  int written = 0, last = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  bool ok = ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_EncryptUpdate(ctx, out->data(), &written, plain.data(), static_cast<int>(plain.size())) == 1 &&
            EVP_EncryptFinal_ex(ctx, out->data() + written, &last) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return "OpenSSL could not encipher the table";
  out->resize(static_cast<size_t>(written + last));
  return "";
}

std::string tableBytes(const BuildOptions& options, Bytes* bytes) {
  std::string text;
  if (!options.tableTextFile.empty()) {
    Bytes raw;
    if (!readWholeFile(options.tableTextFile, &raw)) {
      return "cannot read table text " + options.tableTextFile + ": " + systemError();
    }
    text.assign(raw.begin(), raw.end());
  } else {
    for (const Part& part : options.parts) text += tableEntry(part);
    text += "[end]\n";
  }
  if (options.encipher) return encipher(text, bytes);
  if (text.size() + 1 > kPageSize) return "the table text does not fit in one 32 KiB page";
  bytes->assign(text.begin(), text.end());
  bytes->push_back(0);  // ends the text before any fill bytes
  return "";
}

std::string placePieces(const BuildOptions& options, std::vector<Piece>* pieces) {
  uint64_t partsEnd = 0;
  for (const Part& part : options.parts) {
    pieces->push_back({part.offset, part.bytes, "part " + part.path});
    partsEnd = std::max<uint64_t>(partsEnd, part.offset + part.bytes.size());
  }
  if (options.noTable) return "";
  Bytes table;
  std::string error = tableBytes(options, &table);
  if (!error.empty()) return error;
  std::vector<uint64_t> offsets = options.tableOffsets;
  if (offsets.empty()) offsets.push_back((partsEnd + kPageSize - 1) / kPageSize * kPageSize);
  for (uint64_t offset : offsets) {
    if (offset > kMaxImageSize - table.size()) return "table offset " + hex(offset) + " lies past 4 GiB";
  }
  for (uint64_t offset : offsets) pieces->push_back({offset, table, "table page " + hex(offset)});
  return "";
}

std::string checkLayout(std::vector<Piece>* pieces) {
  std::sort(pieces->begin(), pieces->end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  for (size_t i = 1; i < pieces->size(); ++i) {
    const Piece& before = (*pieces)[i - 1];
    if (before.offset + before.bytes.size() > (*pieces)[i].offset) {
      return before.what + " overlaps " + (*pieces)[i].what;
    }
  }
  return "";
}

std::string writeImage(const BuildOptions& options, const std::vector<Piece>& pieces, uint64_t* size) {
  uint64_t end = 0;
  for (const Piece& piece : pieces) end = std::max<uint64_t>(end, piece.offset + piece.bytes.size());
  if (options.sizeGiven && options.size > kMaxImageSize) return "--size " + hex(options.size) + " is over 4 GiB";
  if (options.sizeGiven && options.size < end) return "--size " + hex(options.size) + " is shorter than the contents (" + hex(end) + ")";
  *size = options.sizeGiven ? options.size : end;
  Bytes image(*size, options.fill);
  for (const Piece& piece : pieces) std::copy(piece.bytes.begin(), piece.bytes.end(), image.begin() + piece.offset);
  std::FILE* out = std::fopen(options.output.c_str(), "wb");
  if (out == nullptr) return "cannot write " + options.output + ": " + systemError();
  const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  if (std::fclose(out) != 0 || !written) return "cannot write " + options.output + ": " + systemError();
  return "";
}

}  // namespace

int runBuild(const std::vector<std::string>& args) {
  BuildOptions options;
  std::string error = parseBuildArgs(args, &options);
  if (error.empty()) error = loadParts(&options.parts);
  std::vector<Piece> pieces;
  if (error.empty()) error = placePieces(options, &pieces);
  if (error.empty()) error = checkLayout(&pieces);
  uint64_t size = 0;
  if (error.empty()) error = writeImage(options, pieces, &size);
  if (!error.empty()) return fail(error);
  std::printf("%s: %llu bytes, %zu parts, %zu table pages (%s)\n", options.output.c_str(),
              static_cast<unsigned long long>(size), options.parts.size(), pieces.size() - options.parts.size(),
              options.noTable ? "none" : options.encipher ? "enciphered" : "plain");
  return kExitOk;
}

}  // namespace imagetool
