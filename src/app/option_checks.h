// From the command line to the one job the run does: the options are
// parsed, then every combination is checked in one place.
#pragma once

// What a command line asks the run to do.
enum class Job {
  kRefused,      // a bad command line, said with its line
  kInformation,  // --help or --version
  kBmcInfo,
  kUpdate,
  kUsbUpdate,
  kDump,
  kConfig,       // configuration backup or restore (-c)
};

// Parses the options into toolContext (after the run record began), checks
// every combination of them and returns the job; a refusal has printed its
// line (run control notes the bad command line). Touches no BMC and makes
// no file.
Job chooseJob(int argc, char** argv);

// Whether --status is given anywhere on the command line (not as the value
// of another option): it then applies to every outcome, even an argument
// the parser stops at.
bool statusAnywhere(int argc, char** argv);
// The file that the command line names with -f, -d (or its temporary name)
// or --verify, wherever the parser would stop, that `name` leads to as well;
// nullptr when none. A log is never written into one of them.
const char* namedFileSharedWith(int argc, char** argv, const char* name);
// The --verify image can be opened and measured; false after its error
// line. Checked before the BMC is asked for anything.
bool verifyImageReadable();
