#include "app_options.h"

#include <cstdlib>

#include "app_bmc.h"

namespace sim {

namespace {

bool setRevision(BmcsimSettings& settings, const char* value, bool afterUpdate) {
  const std::optional<AppBmc::Revision> revision = AppBmc::parseRevision(value);
  if (!revision || settings.app == nullptr) return false;
  if (afterUpdate) {
    settings.app->knobs.afterUpdate = revision;
  } else {
    settings.app->knobs.firmware = *revision;
  }
  return true;
}

}  // namespace

void addAppOptions(std::vector<BmcsimOption>& options) {
  options.push_back({"--fw-revision", "MAJOR.MINOR",
                     "firmware revision Get Device ID reports, e.g. 1.05 (default 1.00)",
                     [](BmcsimSettings& s, const char* value) { return setRevision(s, value, false); }});
  options.push_back({"--fw-revision-after", "MAJOR.MINOR",
                     "revision after a completed update (default: the minor revision plus one)",
                     [](BmcsimSettings& s, const char* value) { return setRevision(s, value, true); }});
  options.push_back({"--bmc-ids", "MANUFACTURER:PRODUCT",
                     "manufacturer (20 bits) and product IDs Get Device ID reports (default 0:0)",
                     [](BmcsimSettings& s, const char* value) {
                       char* end = nullptr;
                       const unsigned long manufacturer = std::strtoul(value, &end, 0);
                       if (end == value || *end != ':' || manufacturer > 0xFFFFF) return false;
                       const char* productText = end + 1;
                       const unsigned long product = std::strtoul(productText, &end, 0);
                       if (end == productText || *end != '\0' || product > 0xFFFF) return false;
                       if (s.app == nullptr) return false;
                       s.app->knobs.manufacturerId = static_cast<uint32_t>(manufacturer);
                       s.app->knobs.productId = static_cast<uint16_t>(product);
                       return true;
                     }});
  options.push_back({"--device-busy", "N",
                     "the first N Get Device ID answers say \"update or initialisation in "
                     "progress\" (bit 7 of the firmware revision byte)",
                     [](BmcsimSettings& s, const char* value) {
                       char* end = nullptr;
                       const unsigned long answers = std::strtoul(value, &end, 10);
                       if (end == value || *end != '\0' || answers > 1000000 || s.app == nullptr) {
                         return false;
                       }
                       s.app->knobs.busyAnswers = static_cast<int>(answers);
                       return true;
                     }});
  options.push_back({"--reboot-seconds", "N",
                     "answer nothing for N seconds after a completed update or a cold reset",
                     [](BmcsimSettings& s, const char* value) {
                       char* end = nullptr;
                       const unsigned long seconds = std::strtoul(value, &end, 10);
                       if (end == value || *end != '\0' || seconds > 3600 || s.app == nullptr) {
                         return false;
                       }
                       s.app->knobs.rebootMicros = seconds * 1000000ull;
                       return true;
                     }});
}

}  // namespace sim
