// bmcsim options of the firmware commands: which answers the BMC gives, the
// flash it starts with and the files it keeps. Every option installs the
// firmware handlers; the knobs marked [@N] may be limited to update number N
// (the Nth GetFWUpdateInfo of the bmcsim run), so that one boot can try
// several paths.
#include "firmware_options.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app_bmc.h"
#include "firmware_bmc.h"

namespace sim {

namespace {

using KnobChange = std::function<void(FirmwareBmc::Knobs&)>;

// Time between two ReceiveFWData requests that follow each other directly:
// one whole chunk exchange as the host drives it, in wall-clock time.
struct ChunkTiming {
  std::chrono::steady_clock::time_point last;
  bool lastWasChunk = false;
  std::vector<double> intervalsMicros;

  void record(uint8_t command) {
    auto now = std::chrono::steady_clock::now();
    if (command == 0x15 && lastWasChunk) {
      intervalsMicros.push_back(std::chrono::duration<double, std::micro>(now - last).count());
    }
    lastWasChunk = command == 0x15;
    last = now;
  }
};

struct FirmwareSetup {
  ChunkTiming timing;
  std::unique_ptr<FirmwareBmc> firmware;
  FirmwareBmc::Knobs base;
  std::map<int, std::vector<KnobChange>> perUpdate;
  std::string flashOut;
  std::string reportPath;
};

FirmwareSetup& setup() {
  static FirmwareSetup instance;
  return instance;
}

std::optional<unsigned long> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, 0);
  } catch (...) {
    return std::nullopt;
  }
  if (used != text.size()) return std::nullopt;
  return value;
}

std::optional<std::vector<unsigned long>> parseList(const std::string& text, char separator) {
  std::vector<unsigned long> values;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    auto value = parseNumber(text.substr(start, end == std::string::npos ? end : end - start));
    if (!value) return std::nullopt;
    values.push_back(*value);
    if (end == std::string::npos) return values;
    start = end + 1;
  }
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
  return out + "\"";
}

// What an end-to-end test checks besides the flash: the updates seen, the
// regions received whole, cold resets and protocol violations.
void writeReport(const FirmwareBmc& firmware, const Bmc& bmc, const std::string& path) {
  std::ofstream out(path, std::ios::trunc);
  out << "{\"updates\": " << firmware.updateSessions
      << ", \"regionsCompleted\": " << firmware.regionsCompleted
      << ", \"updateComplete\": " << (firmware.updateComplete() ? "true" : "false")
      << ", \"coldResets\": " << bmc.coldResets;
  std::vector<double> intervals = setup().timing.intervalsMicros;
  if (!intervals.empty()) {
    std::sort(intervals.begin(), intervals.end());
    double sum = 0;
    for (double interval : intervals) sum += interval;
    out << ", \"chunkIntervalMicros\": {\"count\": " << intervals.size()
        << ", \"median\": " << intervals[intervals.size() / 2]
        << ", \"p10\": " << intervals[intervals.size() / 10]
        << ", \"p1\": " << intervals[intervals.size() / 100]
        << ", \"mean\": " << sum / double(intervals.size()) << "}";
  }
  out << ", \"violations\": [";
  for (size_t n = 0; n < firmware.violations.size(); ++n) {
    out << (n ? ", " : "") << quoted(firmware.violations[n]);
  }
  out << "]}\n";
}

// "{update}" in a kept file's name becomes the number of the update.
std::string keptFilePath(const std::string& pattern, int update) {
  std::string path = pattern;
  if (size_t at = path.find("{update}"); at != std::string::npos) {
    path.replace(at, 8, std::to_string(update));
  }
  return path;
}

void keepFiles(const Bmc& bmc) {
  FirmwareSetup& s = setup();
  if (!s.flashOut.empty()) {
    writeBytes(keptFilePath(s.flashOut, s.firmware->updateSessions), s.firmware->flash);
  }
  if (!s.reportPath.empty()) {
    writeReport(*s.firmware, bmc, keptFilePath(s.reportPath, s.firmware->updateSessions));
  }
}

// The handlers exist once any firmware option is given.
FirmwareSetup& installed(BmcsimSettings& settings) {
  FirmwareSetup& s = setup();
  if (s.firmware) return s;
  Bmc& bmc = settings.bmc;
  s.firmware = std::make_unique<FirmwareBmc>(bmc);
  s.base.eraseOnUpdate = true;
  s.firmware->knobs = s.base;
  if (AppBmc* app = settings.app) s.firmware->onUpdateComplete = [app] { app->updateCompleted(); };
  s.firmware->onUpdateStart = [&s](int update) {
    s.timing = ChunkTiming{};
    s.firmware->knobs = s.base;
    for (const KnobChange& change : s.perUpdate[update]) change(s.firmware->knobs);
  };
  // The harness kills bmcsim at the end of a boot: the files are kept after
  // every request that can end an update or a dump, not only at exit.
  s.firmware->observer = [&bmc, &s](const Request& request) {
    s.timing.record(request.command);
    bool lastChunk = request.command == 0x15 && !request.data.empty() && request.data[0] == 1;
    bool bulk = request.command == 0x15 || request.command == 0x1F;
    if (lastChunk || !bulk) keepFiles(bmc);
  };
  bmc.onColdReset([&bmc] { keepFiles(bmc); });
  settings.atExit.push_back([&bmc] { keepFiles(bmc); });
  return s;
}

// Applies `change` to every update, or only to update N after "@N".
bool perUpdateKnob(BmcsimSettings& settings, const char* value,
                   const std::function<std::optional<KnobChange>(const std::string&)>& parse) {
  std::string text = value;
  int update = 0;
  if (size_t at = text.find('@'); at != std::string::npos) {
    auto number = parseNumber(text.substr(at + 1));
    if (!number || *number == 0) return false;
    update = int(*number);
    text.resize(at);
  }
  std::optional<KnobChange> change = parse(text);
  if (!change) return false;
  FirmwareSetup& s = installed(settings);
  if (update == 0) {
    (*change)(s.base);
    (*change)(s.firmware->knobs);
  } else {
    s.perUpdate[update].push_back(*change);
  }
  return true;
}

// A knob set from one number no larger than `limit`.
template <typename Setter>
BmcsimOption numberKnob(const char* name, const char* argument, const char* help,
                        unsigned long limit, Setter set) {
  return {name, argument, help, [limit, set](BmcsimSettings& settings, const char* value) {
            return perUpdateKnob(settings, value, [&](const std::string& text) {
              auto number = parseNumber(text);
              if (!number || *number > limit) return std::optional<KnobChange>{};
              unsigned long n = *number;
              return std::optional<KnobChange>{[set, n](FirmwareBmc::Knobs& k) { set(k, n); }};
            });
          }};
}

void addUpdateOptions(std::vector<BmcsimOption>& options) {
  options.push_back(
      numberKnob("--fw-info-code", "CODE[@N]",
                 "completion code of GetFWUpdateInfo, e.g. 0xC1 (kind 1), 0xDF "
                 "(another user updating)",
                 0xFF, [](auto& k, unsigned long n) { k.infoCompletionCode = uint8_t(n); }));
  options.push_back(numberKnob("--fw-image-kind", "KIND[@N]",
                               "image kind in GetFWUpdateInfo (default 2)", 0xFF,
                               [](auto& k, unsigned long n) { k.imageKind = uint8_t(n); }));
  options.push_back(numberKnob("--fw-info-bare", "0|1[@N]",
                               "1: GetFWUpdateInfo answers code 0 without its kind byte", 1,
                               [](auto& k, unsigned long n) { k.infoWithoutKind = n != 0; }));
  options.push_back({"--fw-reject", "REGION:REASON[@N]",
                     "answer 0xCD with REASON on the last chunk of region REGION",
                     [](BmcsimSettings& settings, const char* value) {
                       return perUpdateKnob(settings, value, [](const std::string& text) {
                         auto pair = parseList(text, ':');
                         if (!pair || pair->size() != 2 || (*pair)[1] > 0xFF) {
                           return std::optional<KnobChange>{};
                         }
                         FirmwareBmc::Rejection rejection{int((*pair)[0]), uint8_t((*pair)[1])};
                         return std::optional<KnobChange>{
                             [rejection](FirmwareBmc::Knobs& k) { k.reject = rejection; }};
                       });
                     }});
  options.push_back({"--fw-progress", "P1,P2,...",
                     "percentages GetFWUpdateProgress answers in turn; the last repeats "
                     "(default 100)",
                     [](BmcsimSettings& settings, const char* value) {
                       return perUpdateKnob(settings, value, [](const std::string& text) {
                         auto list = parseList(text, ',');
                         if (!list) return std::optional<KnobChange>{};
                         std::vector<uint8_t> steps(list->begin(), list->end());
                         return std::optional<KnobChange>{
                             [steps](FirmwareBmc::Knobs& k) { k.progressSteps = steps; }};
                       });
                     }});
}

void addUsbAndDumpOptions(std::vector<BmcsimOption>& options) {
  options.push_back(numberKnob("--fw-usb-code", "CODE", "completion code of GetUSBFWUpdateInfo",
                               0xFF,
                               [](auto& k, unsigned long n) { k.usbCompletionCode = uint8_t(n); }));
  options.push_back(numberKnob("--fw-usb-kind", "BYTE", "byte 0 of GetUSBFWUpdateInfo (default 2)",
                               0xFF, [](auto& k, unsigned long n) { k.usbKindByte = uint8_t(n); }));
  options.push_back(
      numberKnob("--fw-prepare-code", "CODE", "completion code of PrepareDumpFlash", 0xFF,
                 [](auto& k, unsigned long n) { k.prepareCompletionCode = uint8_t(n); }));
  options.push_back(numberKnob("--fw-not-ready", "COUNT",
                               "readiness questions answered \"not yet\" before ready", 1000000,
                               [](auto& k, unsigned long n) { k.notReadyQuestions = int(n); }));
  options.push_back(numberKnob("--fw-short-ready", "COUNT",
                               "ready replies that lack the four length bytes", 1000000,
                               [](auto& k, unsigned long n) { k.shortReadyReplies = int(n); }));
  options.push_back(
      numberKnob("--fw-dump-length", "BYTES", "dump length reported (default: the flash size)",
                 0xFFFFFFFF, [](auto& k, unsigned long n) { k.reportedDumpLength = uint32_t(n); }));
  options.push_back(numberKnob("--fw-endless-dump", "0|1",
                               "1: GetDumpFlashData never marks a last chunk (full chunks "
                               "of 0xFF follow the flash); with --fw-dump-length 0 a dump "
                               "that nothing but a size cap ends",
                               1, [](auto& k, unsigned long n) { k.endlessDump = n != 0; }));
  options.push_back(numberKnob("--fw-short-data", "REQUEST",
                               "GetDumpFlashData request REQUEST (from 1) says \"more follow\" "
                               "with only 3 data bytes; may be repeated",
                               1000000000, [](auto& k, unsigned long n) {
                                 k.dataFaults[int(n)] = FirmwareBmc::DataFault::kShort;
                               }));
  options.push_back({"--fw-unanswered", "CMD:REQUEST",
                     "leave request REQUEST (from 1) of OEM command CMD unanswered (QEMU then "
                     "answers 0xC3 itself after about 4 s); may be repeated",
                     [](BmcsimSettings& settings, const char* value) {
                       return perUpdateKnob(settings, value, [](const std::string& text) {
                         auto pair = parseList(text, ':');
                         if (!pair || pair->size() != 2 || (*pair)[0] > 0xFF) {
                           return std::optional<KnobChange>{};
                         }
                         std::pair<uint8_t, int> which{uint8_t((*pair)[0]), int((*pair)[1])};
                         return std::optional<KnobChange>{
                             [which](FirmwareBmc::Knobs& k) { k.unanswered.insert(which); }};
                       });
                     }});
}

void addFileOptions(std::vector<BmcsimOption>& options) {
  options.push_back({"--firmware", nullptr,
                     "answer the firmware update, USB update and dump commands (every --fw- "
                     "option implies it)",
                     [](BmcsimSettings& settings, const char*) {
                       installed(settings);
                       return true;
                     }});
  options.push_back({"--fw-flash-in", "FILE", "the flash the dump serves until an update writes it",
                     [](BmcsimSettings& settings, const char* value) {
                       std::ifstream in(value, std::ios::binary);
                       if (!in) return false;
                       installed(settings).firmware->flash = Bytes(
                           std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                       return true;
                     }});
  options.push_back({"--fw-flash-out", "FILE",
                     "keep the flash in FILE (each update starts from an erased flash); "
                     "\"{update}\" in FILE becomes the update's number",
                     [](BmcsimSettings& settings, const char* value) {
                       installed(settings).flashOut = value;
                       return true;
                     }});
  options.push_back({"--fw-report", "FILE",
                     "keep a JSON summary in FILE: updates, regions received, cold resets, "
                     "protocol violations, chunk exchange times of the update; \"{update}\" "
                     "as in --fw-flash-out",
                     [](BmcsimSettings& settings, const char* value) {
                       installed(settings).reportPath = value;
                       return true;
                     }});
}

}  // namespace

void addFirmwareOptions(std::vector<BmcsimOption>& options) {
  addFileOptions(options);
  addUpdateOptions(options);
  addUsbAndDumpOptions(options);
}

}  // namespace sim
