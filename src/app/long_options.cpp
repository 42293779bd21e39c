// The long options for unattended use. They all begin with "--", which no
// short option does, so they never change what an existing command line
// means.
#include "app/long_options.h"

#include "app/run.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "state/tool_context.h"

namespace {

constexpr uint32_t kMaxWaitSeconds = 999999;
constexpr const char kWaitBmc[] = "--wait-bmc";

int refuse(const char* format, const char* argument) {
  printUsage();
  platform::print(format, argument);
  return -1;
}

// The argument after a long option as its value; nullptr when there is none
// or it begins with "-" (an option forgotten after its value, not a file
// name: "--log=-x" names such a file).
const char* separateValue(int argc, char** argv, int index) {
  if (index + 1 >= argc || argv[index + 1][0] == '-') return nullptr;
  return argv[index + 1];
}

// "--name=VALUE" gives VALUE; "--name" followed by an argument gives that.
// Returns the arguments taken (1 or 2), or -1 after an error line.
int takeValue(int argc, char** argv, int index, const char* name, const char** value) {
  const char* argument = argv[index];
  const size_t nameLength = text::length(name);
  if (argument[nameLength] == '=') {
    if (argument[nameLength + 1] != '\0') {
      *value = argument + nameLength + 1;
      return 1;
    }
  } else if (const char* next = separateValue(argc, argv, index)) {
    *value = next;
    return 2;
  }
  return refuse("ERROR:PLEASE GIVE A VALUE FOR THE OPTION:%s\n\n", argument);
}

bool parseSeconds(const char* digits, uint32_t* seconds) {
  uint32_t value = 0;
  if (*digits == '\0') return false;
  for (; *digits != '\0'; ++digits) {
    if (*digits < '0' || *digits > '9') return false;
    value = value * 10 + static_cast<uint32_t>(*digits - '0');
    if (value > kMaxWaitSeconds) return false;
  }
  *seconds = value;
  return value > 0;
}

int applyWaitBmc(const char* argument) {
  const char* rest = argument + sizeof kWaitBmc - 1;
  if (*rest == '\0') {
    toolContext.runOptions.waitBmcSeconds = kDefaultWaitBmcSeconds;
    return 1;
  }
  if (*rest == '=' && parseSeconds(rest + 1, &toolContext.runOptions.waitBmcSeconds)) return 1;
  return refuse("ERROR:PLEASE CHECK THE VALUE OF THE OPTION:%s\n\n", argument);
}

int applyCipher(int argc, char** argv, int index) {
  const char* value = nullptr;
  const int taken = takeValue(argc, argv, index, "--cipher", &value);
  if (taken < 0) return taken;
  if (text::equal(value, "3")) {
    toolContext.runOptions.cipherSuite = 3;
  } else if (text::equal(value, "17")) {
    toolContext.runOptions.cipherSuite = 17;
  } else {
    return refuse("ERROR:PLEASE CHECK THE VALUE OF THE OPTION:%s\n\n", argv[index]);
  }
  return taken;
}

// "--name" alone or "--name=..."
bool named(const char* argument, const char* name) {
  if (!text::startsWith(argument, name)) return false;
  const char next = argument[text::length(name)];
  return next == '\0' || next == '=';
}

enum class Form : uint8_t {
  kFlag,      // the exact text only
  kValue,     // "--name=VALUE" or "--name VALUE"
  kAttached,  // "--name" or "--name=VALUE" (the option's handler decides)
};

struct LongOption {
  const char* name;
  Form form;
  const char* usage;  // as --help shows it
  const char* description;
  // Applies the option at argv[index]: the arguments taken, or -1 after
  // the banner and an error line.
  int (*apply)(int argc, char** argv, int index);
};

RunOptions& options() { return toolContext.runOptions; }

// Every long option, in the order --help lists them. A new option is one
// more row here.
constexpr LongOption kLongOptions[] = {
    {"--status", Form::kFlag, "--status", "the exit status is the outcome class (below)",
     [](int, char**, int) {
       options().exitStatus = true;
       return 1;
     }},
    {"--log", Form::kValue, "--log FILE", "append a record of the run to FILE",
     [](int argc, char** argv, int index) {
       return takeValue(argc, argv, index, "--log", &options().logFile);
     }},
    {"--yes", Form::kFlag, "--yes", "the USB update does not wait for a key",
     [](int, char**, int) {
       options().assumeYes = true;
       return 1;
     }},
    {kWaitBmc, Form::kAttached, "--wait-bmc[=SECONDS]",
     "after an update, wait for the BMC to answer (600 s)",
     [](int, char** argv, int index) { return applyWaitBmc(argv[index]); }},
    {"--verify", Form::kValue, "--verify IMAGE", "after a dump (-d), compare it with IMAGE",
     [](int argc, char** argv, int index) {
       return takeValue(argc, argv, index, "--verify", &options().verifyImage);
     }},
    // The later of the two wins, as with every repeated option.
    {"--reboot", Form::kFlag, "--reboot", "restart the machine when the run ends (Velkoran.efi)",
     [](int, char**, int) {
       options().afterRun = AfterRun::kRestart;
       return 1;
     }},
    {"--poweroff", Form::kFlag, "--poweroff", "power the machine off when the run ends (Velkoran.efi)",
     [](int, char**, int) {
       options().afterRun = AfterRun::kPowerOff;
       return 1;
     }},
    {"--once", Form::kFlag, "--once",
     "when the run ends, remove the boot entry that started it (Velkoran.efi)",
     [](int, char**, int) {
       options().once = true;
       return 1;
     }},
    {"--report", Form::kValue, "--report FILE", "write a JSON report of the run to FILE",
     [](int argc, char** argv, int index) {
       return takeValue(argc, argv, index, "--report", &options().reportFile);
     }},
    {"--cipher", Form::kValue, "--cipher 3|17",
     "-i lan: only this cipher suite (else 17, or 3)", applyCipher},
    {"--password-file", Form::kValue, "--password-file FILE",
     "-i lan: the password is FILE's first line",
     [](int argc, char** argv, int index) {
       return takeValue(argc, argv, index, "--password-file", &options().passwordFile);
     }},
    {"--bmc-info", Form::kFlag, "--bmc-info", "print the BMC's identity and touch nothing else",
     [](int, char**, int) {
       options().bmcInfo = true;
       return 1;
     }},
    {"--help", Form::kFlag, "--help", "show this text and end",
     [](int, char**, int) {
       options().request = InfoRequest::kHelp;
       return 1;
     }},
    {"--version", Form::kFlag, "--version", "show the program name, version and build and end",
     [](int, char**, int) {
       options().request = InfoRequest::kVersion;
       return 1;
     }},
};

bool matches(const LongOption& option, const char* argument) {
  return option.form == Form::kFlag ? text::equal(argument, option.name)
                                    : named(argument, option.name);
}

}  // namespace

int applyLongOption(int argc, char** argv, int index) {
  for (const LongOption& option : kLongOptions) {
    if (matches(option, argv[index])) return option.apply(argc, argv, index);
  }
  return 0;
}

int longOptionArguments(int argc, char** argv, int index) {
  const char* argument = argv[index];
  for (const LongOption& option : kLongOptions) {
    if (option.form == Form::kValue && text::equal(argument, option.name)) {
      return separateValue(argc, argv, index) != nullptr ? 2 : 1;
    }
  }
  return 1;
}

const char* verifyImageAt(int argc, char** argv, int index) {
  const char* argument = argv[index];
  if (!named(argument, "--verify")) return nullptr;
  const char* equals = argument + sizeof "--verify" - 1;
  return *equals == '=' ? equals + 1 : separateValue(argc, argv, index);
}

void printLongOptions() {
  for (const LongOption& option : kLongOptions) {
    platform::print("  %-22s%s\n", option.usage, option.description);
  }
}

const char* findReportFile(int argc, char** argv) {
  constexpr const char kReport[] = "--report";
  const char* found = nullptr;
  for (int i = 1; i < argc; i += argumentsTaken(argc, argv, i)) {
    if (!named(argv[i], kReport)) continue;
    const char* rest = argv[i] + sizeof kReport - 1;
    if (*rest == '=') {
      if (rest[1] != '\0') found = rest + 1;
    } else if (const char* value = separateValue(argc, argv, i)) {
      found = value;
    }
  }
  return found;
}
