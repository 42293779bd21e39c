#include "app/run_log.h"

#include "app/help.h"
#include "app/run.h"
#include "app/option_checks.h"
#include "app/run_report.h"
#include "platform/calendar.h"
#include "platform/format.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "state/tool_context.h"

namespace runlog {
namespace {

constexpr size_t kLineCapacity = 512;
constexpr const char kRecordMark[] = "[velkoran] ";

struct LogState {
  int argc;
  char** argv;
  platform::AppendFile* file;
  bool failed;  // reported once; nothing more is written
  bool started;
  bool clockRead;
  bool writing;  // a line is being written (a warning then is not taken)
  platform::CalendarTime startTime;
  // The elapsed time is measured, not taken from the wall clock's stamps.
  uint64_t startMicros;
  // The console line being built, as a terminal shows it: a carriage return
  // moves back to the start and later text overwrites.
  char line[kLineCapacity];
  size_t lineLength;
  size_t column;
};

constinit LogState gLog = {};

void reportFailure() {
  if (gLog.file != nullptr) platform::appendFileClose(gLog.file);
  gLog.file = nullptr;
  gLog.failed = true;
  platform::print("WARNING: THE LOG FILE %s CANNOT BE WRITTEN, THE RUN GOES ON WITHOUT IT\n",
                  toolContext.runOptions.logFile);
}

void write(const char* text, size_t length) {
  if (gLog.file == nullptr || gLog.failed) return;
  if (!platform::appendFileWrite(gLog.file, text, length)) reportFailure();
}

void writeText(const char* text) { write(text, text::length(text)); }

void writeTime(bool known, const platform::CalendarTime& time) {
  char stamp[32];
  if (known && calendar::format(stamp, sizeof stamp, time) != 0) {
    writeText(stamp);
  } else {
    writeText("unknown-date unknown-time");
  }
}

// Opens the file and writes the first line; false when there is no log.
bool ensureStarted() {
  if (gLog.started) return gLog.file != nullptr;
  if (toolContext.runOptions.logFile == nullptr) return false;
  gLog.started = true;
  // Never into the job's own files: run control refuses such a log.
  if (namedFileSharedWith(gLog.argc, gLog.argv, toolContext.runOptions.logFile) != nullptr) {
    gLog.failed = true;
    return false;
  }
  gLog.file = platform::appendFileOpen(toolContext.runOptions.logFile);
  if (gLog.file == nullptr) {
    reportFailure();
    return false;
  }
  writeText(kRecordMark);
  writeText("start ");
  writeTime(gLog.clockRead, gLog.startTime);
  writeText(" version ");
  writeText(kProgramVersion);
  writeText(" command:");
  for (int i = 0; i < gLog.argc; ++i) {
    writeText(" ");
    writeText(shownArgument(gLog.argc, gLog.argv, i));
  }
  writeText("\n");
  return gLog.file != nullptr;
}

void finishLine() {
  size_t length = gLog.lineLength;
  // Blanks at the end only wipe out an earlier, longer rewrite.
  while (length > 0 && gLog.line[length - 1] == ' ') --length;
  gLog.writing = true;
  runreport::noteConsoleLine(gLog.line, length);
  gLog.line[length] = '\n';
  if (!gLog.failed && ensureStarted()) write(gLog.line, length + 1);
  gLog.writing = false;
  gLog.lineLength = 0;
  gLog.column = 0;
}

// An error printed over a progress line that ended in a carriage return
// gets a line of its own: glued to the rest of the progress text it would
// say something else.
bool errorOverRewrittenLine(const char* text, size_t length) {
  if (gLog.column != 0 || gLog.lineLength == 0 || length < 5) return false;
  return text::startsWith(text, "ERROR") || text::startsWith(text, "Error");
}

// Lines are taken for the report whether or not there is a log.
void takeConsole(const char* text, size_t length) {
  if (gLog.writing) return;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (errorOverRewrittenLine(text + i, length - i)) finishLine();
    if (c == '\n') {
      finishLine();
    } else if (c == '\r') {
      gLog.column = 0;
    } else if (gLog.column < kLineCapacity - 1) {
      gLog.line[gLog.column++] = c;
      if (gLog.column > gLog.lineLength) gLog.lineLength = gLog.column;
    }
  }
}

}  // namespace

void begin(int argc, char** argv) {
  gLog = LogState{};
  gLog.argc = argc;
  gLog.argv = argv;
  gLog.clockRead = platform::localTime(&gLog.startTime);
  gLog.startMicros = platform::monotonicMicroseconds();
  platform::setConsoleTap(takeConsole);
}

void end(RunOutcome outcome) {
  platform::setConsoleTap(nullptr);
  if (gLog.lineLength > 0) finishLine();
  if (!gLog.failed && ensureStarted()) {
    platform::CalendarTime now;
    const bool clockRead = platform::localTime(&now);
    char last[128];
    writeText(kRecordMark);
    writeText("end ");
    writeTime(clockRead, now);
    const runreport::ShownOutcome shown = runreport::shownOutcome(outcome);
    platform::formatText(last, sizeof last, " outcome %u %s", shown.number, shown.name);
    writeText(last);
    if (platform::stopRequested()) {
      platform::formatText(last, sizeof last, " signal %s %s", platform::stopSignalName(),
                           toolContext.runRecord.coldResetSent ? "cold-reset-sent"
                                                               : "no-cold-reset");
      writeText(last);
    }
    const uint64_t elapsed = (platform::monotonicMicroseconds() - gLog.startMicros) / 1000000u;
    platform::formatText(last, sizeof last, " elapsed %ld s\n", static_cast<long>(elapsed));
    writeText(last);
  }
  if (gLog.file != nullptr) platform::appendFileClose(gLog.file);
  gLog.file = nullptr;
  gLog.started = true;  // a second end() writes nothing
  gLog.failed = true;
}

}  // namespace runlog
