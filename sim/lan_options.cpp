#include "sim/lan_options.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "sim/lan_link.h"
#include "sim/lan_server.h"

namespace sim {

namespace {

constexpr size_t kMaximumUserName = 16;
constexpr size_t kMaximumPassword = 20;

std::optional<int> parseCount(const std::string& text, int minimum) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int value = std::atoi(text.c_str());
  if (value < minimum) return std::nullopt;
  return value;
}

// "drop", "duplicate", "corrupt" with N, or "delay" with N:MS.
bool addFault(LanFaults& faults, const std::string& kind, const std::string& value) {
  if (kind == "delay") {
    const size_t colon = value.find(':');
    if (colon == std::string::npos) return false;
    const auto number = parseCount(value.substr(0, colon), 1);
    const auto millis = parseCount(value.substr(colon + 1), 1);
    if (!number || !millis) return false;
    faults.delayMillis[*number] = *millis;
    return true;
  }
  const auto number = parseCount(value, 1);
  if (!number) return false;
  if (kind == "drop") {
    faults.drop.insert(*number);
  } else if (kind == "duplicate") {
    faults.duplicate.insert(*number);
  } else if (kind == "corrupt") {
    faults.corrupt.insert(*number);
  } else {
    return false;
  }
  return true;
}

// "3", "17", "3,17" or "17,3".
bool parseSuites(const std::string& text, std::vector<uint8_t>& suites) {
  suites.clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const auto id = parseCount(text.substr(start, comma - start), 0);
    if (!id || *id > 255 || rmcp::cipherSuite(static_cast<uint8_t>(*id)) == nullptr) return false;
    suites.push_back(static_cast<uint8_t>(*id));
    start = comma + 1;
  }
  return !suites.empty();
}

std::optional<uint8_t> parsePrivilege(const std::string& text) {
  if (text == "user") return rmcp::kPrivilegeUser;
  if (text == "operator") return rmcp::kPrivilegeOperator;
  if (text == "administrator") return rmcp::kPrivilegeAdministrator;
  return std::nullopt;
}

BmcsimOption faultOption(const char* name, const char* argument, const char* help,
                         const char* kind) {
  return {name, argument, help, [kind](BmcsimSettings& s, const char* value) {
            return addFault(s.lan->faults, kind, value);
          }};
}

}  // namespace

void addLanOptions(std::vector<BmcsimOption>& options) {
  options.push_back({"--lan", "HOST:PORT",
                     "serve the BMC over IPMI v2.0 RMCP+ on this UDP address instead of "
                     "--listen (e.g. 127.0.0.1:6230, [::1]:6230)",
                     [](BmcsimSettings& s, const char* value) {
                       s.lan->address = value;
                       return lan::splitAddress(value).has_value();
                     }});
  options.push_back({"--lan-user", "NAME", "the LAN's one user (up to 16 bytes; required with --lan)",
                     [](BmcsimSettings& s, const char* value) {
                       s.lan->user.name = value;
                       return !s.lan->user.name.empty() && s.lan->user.name.size() <= kMaximumUserName;
                     }});
  options.push_back({"--lan-password", "PASSWORD",
                     "that user's password (up to 20 bytes; required with --lan)",
                     [](BmcsimSettings& s, const char* value) {
                       s.lan->user.password = value;
                       return !s.lan->user.password.empty() &&
                              s.lan->user.password.size() <= kMaximumPassword;
                     }});
  options.push_back({"--lan-privilege", "LEVEL",
                     "that user's highest privilege: user, operator or administrator (the "
                     "default); below administrator only identity and self-test requests pass",
                     [](BmcsimSettings& s, const char* value) {
                       const auto level = parsePrivilege(value);
                       if (level) s.lan->user.privilege = *level;
                       return level.has_value();
                     }});
  options.push_back({"--lan-ciphers", "LIST",
                     "cipher suites offered, of 3 and 17, e.g. 3 or 3,17 (the default)",
                     [](BmcsimSettings& s, const char* value) {
                       return parseSuites(value, s.lan->suites);
                     }});
  options.push_back(faultOption("--lan-drop", "N",
                                "never send the Nth LAN reply to an IPMI request (counted from 1 "
                                "as the journal's RSP lines with a reply); may be repeated",
                                "drop"));
  options.push_back(faultOption("--lan-duplicate", "N", "send the Nth LAN reply twice", "duplicate"));
  options.push_back(faultOption("--lan-delay", "N:MS", "send the Nth LAN reply MS ms late", "delay"));
  options.push_back(faultOption("--lan-corrupt", "N",
                                "flip bits in the middle of the Nth LAN reply", "corrupt"));
  options.push_back({"--lan-fault", "KIND:N",
                     "the same knobs in one form: drop:N, duplicate:N, corrupt:N or delay:N:MS",
                     [](BmcsimSettings& s, const char* value) {
                       const std::string text = value;
                       const size_t colon = text.find(':');
                       return colon != std::string::npos &&
                              addFault(s.lan->faults, text.substr(0, colon), text.substr(colon + 1));
                     }});
}

const char* lanOptionsProblem(const BmcsimSettings& settings) {
  const LanConfig& lan = *settings.lan;
  if (lan.address.empty()) {
    if (settings.listen.empty()) return "--listen or --lan is required (see --help)";
    return nullptr;
  }
  if (!settings.listen.empty()) return "--listen and --lan exclude each other";
  if (lan.user.name.empty()) return "--lan needs --lan-user";
  if (lan.user.password.empty()) return "--lan needs --lan-password";
  if (settings.once) return "--once has no meaning with --lan";
  return nullptr;
}

}  // namespace sim
