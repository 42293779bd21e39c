#include "app/run_report.h"

#include "app/json_text.h"
#include "app/run.h"
#include "app/option_checks.h"
#include "flows/bmc_return.h"
#include "platform/calendar.h"
#include "platform/format.h"
#include "platform/platform.h"
#include "platform/staged_file.h"
#include "platform/text.h"
#include "state/tool_context.h"

namespace runreport {
namespace {

// A run that repeats a failing request may print its line hundreds of times;
// the first lines say how it began and the last ones how it ended (the
// warning of a BMC that may still be programming among them).
constexpr size_t kFirstErrorLines = 8;
constexpr size_t kLastErrorLines = 8;
constexpr size_t kMaxErrorLines = kFirstErrorLines + kLastErrorLines;
constexpr size_t kErrorLineCapacity = 160;

struct ReportState {
  int argc;
  char** argv;
  bool startKnown;
  bool startZoneKnown;
  platform::CalendarTime start;
  uint64_t startMicros;
  // The first lines in order, then the last ones in a ring.
  char errors[kMaxErrorLines][kErrorLineCapacity];
  size_t errorCount;  // every line taken, kept or not
  bool takeNextLine;  // the line after a bare "Error!" says what failed
};

constinit ReportState gReport = {};

constexpr char kOpeningQuote[] = "\xE2\x80\x9C";

bool isErrorLine(const char* line, size_t length) {
  if (length < 5) return false;
  // A warning may open with a typographic quotation mark.
  const char* words = text::startsWith(line, kOpeningQuote) ? line + 3 : line;
  return text::startsWith(words, "ERROR") || text::startsWith(words, "Error") ||
         text::startsWith(words, "WARNING") || text::startsWith(words, "Warning");
}

// "Error!" or "“Warning!" alone: the next line says what happened.
bool isBareHeading(const char* line, size_t length) {
  return (length == 6 && text::startsWith(line, "Error!")) ||
         (length == 11 && text::startsWith(line, "\xE2\x80\x9CWarning!"));
}

// The longest start of line, at most limit bytes, that ends between two
// UTF-8 characters.
size_t wholeCharacters(const char* line, size_t length, size_t limit) {
  if (length <= limit) return length;
  size_t kept = limit;
  while (kept > 0 && (static_cast<uint8_t>(line[kept]) & 0xC0) == 0x80) --kept;
  return kept;
}

void keepErrorLine(const char* line, size_t length) {
  size_t index = gReport.errorCount++;
  if (index >= kMaxErrorLines) index = kFirstErrorLines + (index - kFirstErrorLines) % kLastErrorLines;
  const size_t kept = wholeCharacters(line, length, kErrorLineCapacity - 1);
  char* slot = gReport.errors[index];
  text::copyBytes(slot, line, kept);
  slot[kept] = '\0';
}

void writeErrorLine(json::Writer& out, size_t position, const char* line) {
  json::raw(out, position == 0 ? "\n    " : ",\n    ");
  json::stringOrNull(out, line);
}

// The kept lines in the order they came, with a note of those left out.
void writeErrorLines(json::Writer& out) {
  const size_t count = gReport.errorCount;
  if (count <= kMaxErrorLines) {
    for (size_t i = 0; i < count; ++i) writeErrorLine(out, i, gReport.errors[i]);
    return;
  }
  size_t position = 0;
  for (; position < kFirstErrorLines; ++position) {
    writeErrorLine(out, position, gReport.errors[position]);
  }
  char note[64];
  platform::formatText(note, sizeof note, "(%lu more such lines left out)",
                       static_cast<unsigned long>(count - kMaxErrorLines));
  writeErrorLine(out, position++, note);
  const size_t oldest = count - kLastErrorLines;
  for (size_t n = oldest; n < count; ++n) {
    writeErrorLine(out, position++,
                   gReport.errors[kFirstErrorLines + (n - kFirstErrorLines) % kLastErrorLines]);
  }
}

const char* jobName() {
  if (toolContext.runOptions.bmcInfo) return "bmc-info";
  if (toolContext.configMode) {
    if (toolContext.firmwareFile != nullptr) return "restore";
    return toolContext.dumpFile != nullptr ? "backup" : nullptr;
  }
  if (toolContext.dumpFile != nullptr) return "dump";
  return toolContext.firmwareFile != nullptr ? "update" : nullptr;
}

// The job's file: what it reads, or what it wrote in place.
const char* jobFile(const char* job, bool* written) {
  *written = job != nullptr && (text::equal(job, "dump") || text::equal(job, "backup"));
  if (job == nullptr || text::equal(job, "bmc-info")) return nullptr;
  return *written ? toolContext.dumpFile : toolContext.firmwareFile;
}

// A file's size; negative when it cannot be opened or measured.
int64_t fileSize(const char* name) {
  platform::File* file = platform::fileOpen(name, "rb");
  if (file == nullptr) return -1;
  const int64_t size = platform::fileSeekEnd(file) == 0 ? platform::fileTell(file) : -1;
  platform::fileClose(file);
  return size;
}

bool writeToFile(void* context, const char* bytes, size_t length) {
  return platform::fileWrite(static_cast<platform::File*>(context), bytes, length) == length;
}

void member(json::Writer& out, const char* name) {
  json::raw(out, ",\n  \"");
  json::raw(out, name);
  json::raw(out, "\": ");
}

void revisionMember(json::Writer& out, const char* name, bool known,
                    const FirmwareRevision& revision) {
  char text[16];
  formatRevision(&revision, text, sizeof text);
  member(out, name);
  json::stringOrNull(out, known ? text : nullptr);
}

void writeArguments(json::Writer& out) {
  member(out, "arguments");
  json::raw(out, "[");
  for (int i = 1; i < gReport.argc; ++i) {
    if (i > 1) json::raw(out, ", ");
    json::stringOrNull(out, shownArgument(gReport.argc, gReport.argv, i));
  }
  json::raw(out, "]");
}

// What stopped the run and what it left on the BMC.
void writeSignal(json::Writer& out) {
  member(out, "signal");
  json::raw(out, "{\"name\": ");
  json::stringOrNull(out, platform::stopSignalName());
  json::raw(out, ", \"number\": ");
  json::number(out, static_cast<uint64_t>(platform::stopSignal()));
  json::raw(out, ", \"cold_reset_sent\": ");
  json::raw(out, toolContext.runRecord.coldResetSent ? "true" : "false");
  json::raw(out, "}");
}

void writeOutcome(json::Writer& out, RunOutcome outcome) {
  const ShownOutcome shown = shownOutcome(outcome);
  member(out, "outcome");
  json::raw(out, "{\"class\": ");
  json::number(out, shown.number);
  json::raw(out, ", \"name\": ");
  json::stringOrNull(out, shown.name);
  json::raw(out, "}");
  if (platform::stopRequested()) writeSignal(out);
  member(out, "errors");
  json::raw(out, "[");
  writeErrorLines(out);
  json::raw(out, gReport.errorCount == 0 ? "]" : "\n  ]");
}

void writeIdentity(json::Writer& out) {
  const RunRecord& record = toolContext.runRecord;
  member(out, "bmc");
  if (!record.identityKnown) {
    json::raw(out, "null");
    return;
  }
  const BmcIdentity& identity = record.identity;
  char text[16];
  json::raw(out, "{\"device_id\": ");
  json::number(out, identity.deviceId);
  json::raw(out, ", \"device_revision\": ");
  json::number(out, identity.deviceRevision);
  formatRevision(&identity.firmware, text, sizeof text);
  json::raw(out, ", \"firmware_revision\": ");
  json::stringOrNull(out, text);
  platform::formatText(text, sizeof text, "%u.%u", identity.ipmiVersion & 0x0Fu,
                       static_cast<unsigned>(identity.ipmiVersion >> 4));
  json::raw(out, ", \"ipmi_version\": ");
  json::stringOrNull(out, text);
  json::raw(out, ", \"manufacturer_id\": ");
  json::number(out, identity.manufacturerId);
  json::raw(out, ", \"product_id\": ");
  json::number(out, identity.productId);
  json::raw(out, "}");
}

void writeFile(json::Writer& out, const char* job, RunOutcome outcome) {
  bool written = false;
  const char* name = jobFile(job, &written);
  member(out, "file");
  if (name == nullptr) {
    json::raw(out, "null");
    return;
  }
  // An output that did not take its place leaves an earlier file there.
  const bool placed = outcome == RunOutcome::kSuccess || outcome == RunOutcome::kDifferent;
  const int64_t size = written && !placed ? -1 : fileSize(name);
  json::raw(out, "{\"name\": ");
  json::stringOrNull(out, name);
  json::raw(out, ", \"size\": ");
  if (size < 0) {
    json::raw(out, "null");
  } else {
    json::number(out, static_cast<uint64_t>(size));
  }
  json::raw(out, "}");
}

void writeTimes(json::Writer& out) {
  char text[48];
  member(out, "start");
  if (gReport.startKnown) {
    const platform::CalendarTime& t = gReport.start;
    platform::formatText(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u%s",
                         static_cast<unsigned>(t.year), static_cast<unsigned>(t.month),
                         static_cast<unsigned>(t.day), static_cast<unsigned>(t.hour),
                         static_cast<unsigned>(t.minute), static_cast<unsigned>(t.second),
                         gReport.startZoneKnown ? "Z" : "");
    json::stringOrNull(out, text);
  } else {
    json::raw(out, "null");
  }
  member(out, "duration_seconds");
  const uint64_t micros = platform::monotonicMicroseconds() - gReport.startMicros;
  platform::formatText(text, sizeof text, "%lu.%03lu",
                       static_cast<unsigned long>(micros / 1000000),
                       static_cast<unsigned long>(micros / 1000 % 1000));
  json::raw(out, text);
}

void writeDocument(json::Writer& out, RunOutcome outcome) {
  const RunRecord& record = toolContext.runRecord;
  const char* job = jobName();
  json::raw(out, "{\n  \"schema\": ");
  json::number(out, kSchema);
  member(out, "program");
  json::stringOrNull(out, "velkoran");
  member(out, "version");
  json::stringOrNull(out, kProgramVersion);
  member(out, "job");
  json::stringOrNull(out, job);
  writeArguments(out);
  writeOutcome(out, outcome);
  revisionMember(out, "firmware_before", record.revisionBeforeKnown, record.revisionBefore);
  revisionMember(out, "firmware_after", record.revisionAfterKnown, record.revisionAfter);
  writeIdentity(out);
  member(out, "bmc_available");
  json::raw(out, !record.availabilityKnown ? "null" : record.bmcAvailable ? "true" : "false");
  writeFile(out, job, outcome);
  member(out, "bytes_sent");
  json::number(out, record.bytesSent);
  member(out, "bytes_received");
  json::number(out, record.bytesReceived);
  member(out, "transport");
  json::stringOrNull(out, record.transportName[0] != '\0' ? record.transportName : nullptr);
  writeTimes(out);
  json::raw(out, "\n}\n");
}

}  // namespace

ShownOutcome shownOutcome(RunOutcome outcome) {
  const int signal = platform::stopSignal();
  // A BMC that may still be writing its flash is the news, whatever stopped
  // the run; otherwise the status the shell sees for a signal.
  if (signal != 0 && outcome != RunOutcome::kUnsettled) {
    return ShownOutcome{kSignalBase + static_cast<unsigned>(signal), "interrupted"};
  }
  return ShownOutcome{static_cast<unsigned>(outcome), outcomeName(outcome)};
}

void begin(int argc, char** argv) {
  gReport = ReportState{};
  gReport.argc = argc;
  gReport.argv = argv;
  gReport.startKnown = platform::universalTime(&gReport.start, &gReport.startZoneKnown);
  gReport.startMicros = platform::monotonicMicroseconds();
  platform::setDiagnosticTap(keepErrorLine);
}

void noteConsoleLine(const char* line, size_t length) {
  const bool bareHeading = isBareHeading(line, length);
  if (gReport.takeNextLine || isErrorLine(line, length)) keepErrorLine(line, length);
  gReport.takeNextLine = bareHeading;
}

namespace {

constinit char gTemporaryName[platform::kStagedNameCapacity] = {};

bool sharesAFile(const char* name) {
  const RunOptions& options = toolContext.runOptions;
  // Wherever the parser stopped: the command line's own files, by any name.
  if (namedFileSharedWith(gReport.argc, gReport.argv, name) != nullptr) return true;
  return options.logFile != nullptr && platform::sameFile(name, options.logFile);
}

}  // namespace

bool namesAnotherFile() {
  const char* report = toolContext.runOptions.reportFile;
  if (report == nullptr) return false;
  // The report's temporary file is made and removed as well.
  return sharesAFile(report) ||
         (platform::stagedTemporaryName(report, gTemporaryName, sizeof gTemporaryName) &&
          sharesAFile(gTemporaryName));
}

void end(RunOutcome outcome) {
  platform::setDiagnosticTap(nullptr);
  const char* target = toolContext.runOptions.reportFile;
  if (target == nullptr) return;
  platform::StagedFile staged;
  platform::File* file =
      namesAnotherFile() ? nullptr : platform::stagedOpen(&staged, target, "wb");
  bool whole = false;
  if (file != nullptr) {
    json::Writer out = json::makeWriter(writeToFile, file);
    writeDocument(out, outcome);
    whole = json::finish(out);
    // A report cut short is no report: nothing of it stays behind.
    whole = whole ? platform::stagedCommit(&staged) == platform::StagedEnd::placed
                  : (platform::stagedDiscard(&staged), false);
  }
  if (!whole) {
    platform::print("WARNING: THE REPORT FILE %s CANNOT BE WRITTEN\n", target);
  }
}

}  // namespace runreport
