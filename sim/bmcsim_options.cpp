#include "bmcsim_options.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "extern_link.h"

namespace sim {

namespace {

std::optional<unsigned long> parseHex(const std::string& text, unsigned long limit) {
  if (text.empty() || text.size() > 4 ||
      text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long value = std::stoul(text, nullptr, 16);
  if (value > limit) return std::nullopt;
  return value;
}

// "F8:20" -> commandKey(0xF8, 0x20)
std::optional<uint16_t> parseCommand(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto netFnLun = parseHex(text.substr(0, colon), 0xFF);
  const auto command = parseHex(text.substr(colon + 1), 0xFF);
  if (!netFnLun || !command) return std::nullopt;
  return commandKey(static_cast<uint8_t>(*netFnLun), static_cast<uint8_t>(*command));
}

}  // namespace

void addLinkOptions(std::vector<BmcsimOption>& options) {
  options.push_back({"--listen", "ADDRESS",
                     "where to wait for QEMU or velkoran: unix:PATH or tcp:HOST:PORT "
                     "(required)",
                     [](BmcsimSettings& s, const char* value) {
                       s.listen = value;
                       return link::parseAddress(value).has_value();
                     }});
  options.push_back({"--journal", "FILE",
                     "write one line per frame: REQ/RSP <seq> <hex bytes> (RSP <seq> none when "
                     "unanswered), CTL <hex bytes> for control commands",
                     [](BmcsimSettings& s, const char* value) {
                       s.journalPath = value;
                       return true;
                     }});
  options.push_back({"--once", nullptr, "end when the first connection closes",
                     [](BmcsimSettings& s, const char*) {
                       s.once = true;
                       return true;
                     }});
}

void addFaultOptions(std::vector<BmcsimOption>& options) {
  options.push_back({"--silent", "NF:CMD",
                     "never answer this command (hex network function/LUN byte and command, "
                     "e.g. F8:20); may be repeated",
                     [](BmcsimSettings& s, const char* value) {
                       const auto key = parseCommand(value);
                       if (key) s.bmc.faults.silent[*key] = true;
                       return key.has_value();
                     }});
  options.push_back({"--silent-all", nullptr, "never answer anything",
                     [](BmcsimSettings& s, const char*) {
                       s.bmc.faults.silentAll = true;
                       return true;
                     }});
  options.push_back({"--completion-code", "NF:CMD=CC",
                     "answer this command with completion code CC (hex) and no data; may be "
                     "repeated",
                     [](BmcsimSettings& s, const char* value) {
                       const std::string text = value;
                       const size_t equals = text.find('=');
                       if (equals == std::string::npos) return false;
                       const auto key = parseCommand(text.substr(0, equals));
                       const auto code = parseHex(text.substr(equals + 1), 0xFF);
                       if (!key || !code) return false;
                       s.bmc.faults.completionCode[*key] = static_cast<uint8_t>(*code);
                       return true;
                     }});
  options.push_back({"--foreign-reply", "NF:CMD=NF:CMD[,COUNT]",
                     "answer the first command with the reply header of the second (hex, "
                     "e.g. 18:01=00:01: Get Device ID answered as a chassis reply); only the "
                     "first COUNT answers (decimal) when given",
                     [](BmcsimSettings& s, const char* value) {
                       const std::string text = value;
                       const size_t equals = text.find('=');
                       if (equals == std::string::npos) return false;
                       const auto key = parseCommand(text.substr(0, equals));
                       std::string header = text.substr(equals + 1);
                       int count = -1;
                       if (const size_t comma = header.find(','); comma != std::string::npos) {
                         const std::string countText = header.substr(comma + 1);
                         if (countText.empty() || countText.size() > 6 ||
                             countText.find_first_not_of("0123456789") != std::string::npos) {
                           return false;
                         }
                         count = std::stoi(countText);
                         header.resize(comma);
                       }
                       const auto foreign = parseCommand(header);
                       if (!key || !foreign) return false;
                       s.bmc.faults.foreignReply[*key] = {static_cast<uint8_t>(*foreign >> 8),
                                                          static_cast<uint8_t>(*foreign), count};
                       return true;
                     }});
  options.push_back({"--reply-length", "N",
                     "replace every reply by one of N bytes (decimal; 0, 1, 2 or over 128 "
                     "for faults)",
                     [](BmcsimSettings& s, const char* value) {
                       const std::string text = value;
                       if (text.empty() || text.size() > 3 ||
                           text.find_first_not_of("0123456789") != std::string::npos) {
                         return false;
                       }
                       s.bmc.faults.replyLengthOverride = std::stoi(text);
                       return true;
                     }});
}

}  // namespace sim
