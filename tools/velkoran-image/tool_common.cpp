#include "tool_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace imagetool {

bool parseNumber(const std::string& text, uint64_t* value) {
  const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = isHex ? text.substr(2) : text;
  const std::string allowed = isHex ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) return false;
  errno = 0;
  *value = std::strtoull(digits.c_str(), nullptr, isHex ? 16 : 10);
  return errno == 0;
}

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string takeJsonAndPaths(const std::vector<std::string>& args, const std::string& command,
                             bool* json, std::vector<std::string>* paths) {
  *json = false;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      *json = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option '" + arg + "' for " + command + " (try --help)";
    } else {
      paths->push_back(arg);
    }
  }
  return "";
}

int fail(const std::string& message) {
  std::fprintf(stderr, "velkoran-image: %s\n", message.c_str());
  return kExitFailure;
}

std::string systemError() { return std::strerror(errno); }

}  // namespace imagetool
