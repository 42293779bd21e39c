// The usage banner and the command-line parser.
#include "app/run.h"
#include "app/long_options.h"
#include "state/tool_context.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr const char* kProgramFileName = "Velkoran.exe";
constexpr const char* kVersion = kProgramVersion;

// Banner lines; a line with a %s takes the version (line "VERSION") or the
// program file name (the USAGE rows).
constexpr const char* kBannerLines[] = {
    "*****************************************************************************\n",
    "*****************************************************************************\n",
    "* FUNCTION   :  IPMI FIRMWARE UPDATE UTILITY                                *\n",
    "* VERSION    :  %s                                                        *\n",
    "* BUILD DATE :  Mar 15 2019                                                 *\n",
    "* USAGE      :                                                              *\n",
    "*             (1)Update FIRMWARE : %s -f filename.bin [OPTION]     *\n",
    "*             (2)Dump FIRMWARE   : %s -d filename                  *\n",
    "*             (3)Restore CONFIG  : %s -c -f filename.bin           *\n",
    "*             (4)Backup CONFIG   : %s -c -d filename.bin           *\n",
    "*****************************************************************************\n",
    "* OPTION                                                                    *\n",
    "*   -r Preserve Configuration(default is Preserve)                          *\n",
    "*      n:No Preserve, reset to factory default settings                     *\n",
    "*      y:Preserve, keep all of the settings                                 *\n",
    "*   -c IPMI configuration backup/restore                                    *\n",
    "*      -f [restore.bin] Restore configurations                              *\n",
    "*      -d [backup.bin] Backup configurations                                *\n",
    "*****************************************************************************\n",
    "\n",
};

enum class ParseStep { kNext, kError };

// What a build that reaches the BMC over KCS only keeps of a LAN setting.
constexpr size_t kKcsOnlyField = 16;

void copyOption(char* field, size_t capacity, const char* argument) {
  // Longer texts are cut to fit: these fields are never sent anywhere.
  text::copy(field, capacity, argument);
}

// Over a network a cut host, user name or password names something else:
// a longer value is refused. Without LAN they are cut as they always were.
ParseStep copyLanSetting(char* field, size_t capacity, const char* argument, const char* what) {
  if (!lanOffered()) {
    copyOption(field, capacity < kKcsOnlyField ? capacity : kKcsOnlyField, argument);
    return ParseStep::kNext;
  }
  if (text::length(argument) < capacity) {
    copyOption(field, capacity, argument);
    return ParseStep::kNext;
  }
  printUsage();
  platform::print("ERROR:THE %s IS LONGER THAN %u BYTES\n\n", what,
                  static_cast<unsigned>(capacity - 1));
  return ParseStep::kError;
}

struct Cursor {
  int argc;
  char** argv;
  int index;
  bool hasArguments(int count) const { return index + count < argc; }
  const char* argument(int offset) const { return argv[index + offset]; }
};

ParseStep applyInterface(const char* value) {
  static const char* const kInterfaces[] = {"kcs", "lan", "usb"};
  for (const char* name : kInterfaces) {
    if (text::equal(value, name)) {
      copyOption(toolContext.interfaceName, sizeof toolContext.interfaceName, value);
      return ParseStep::kNext;
    }
  }
  printUsage();
  platform::print("ERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n");
  return ParseStep::kError;
}

ParseStep applyPreserve(const char* value) {
  if (text::equal(value, "y")) {
    toolContext.preserveConfig = 1;
  } else if (text::equal(value, "n")) {
    toolContext.preserveConfig = 0;
  } else {
    printUsage();
    platform::print("ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n");
    return ParseStep::kError;
  }
  return ParseStep::kNext;
}

// Applies an option that takes one argument; returns kError after a message.
ParseStep applySingle(char letter, const char* value) {
  switch (letter) {
    case 'f': toolContext.firmwareFile = value; break;
    case 'i': return applyInterface(value);
    case 'd': toolContext.dumpFile = value; break;
    case 'u':
      return copyLanSetting(toolContext.userName, sizeof toolContext.userName, value, "USER NAME");
    case 'p':
      return copyLanSetting(toolContext.password, sizeof toolContext.password, value, "PASSWORD");
    case 'r': return applyPreserve(value);
  }
  return ParseStep::kNext;
}

ParseStep applyHost(Cursor& cursor) {
  if (!cursor.hasArguments(2)) {
    cursor.index += 1;  // ignored: what follows is parsed as the next option
    return ParseStep::kNext;
  }
  if (copyLanSetting(toolContext.host, sizeof toolContext.host, cursor.argument(1), "HOST NAME") ==
      ParseStep::kError) {
    return ParseStep::kError;
  }
  const char* second = cursor.argument(2);
  if (second[0] == '-') {
    copyOption(toolContext.port, sizeof toolContext.port, "623");
    cursor.index += 2;
  } else {
    copyOption(toolContext.port, sizeof toolContext.port, second);
    cursor.index += 3;
  }
  return ParseStep::kNext;
}

// The option letter of an argument, in the order options are compared, or 0.
char optionLetter(const char* argument) {
  static const char* const kOptions[] = {"-f", "-i", "-d", "-h", "-u", "-p", "-r", "-c"};
  for (const char* option : kOptions) {
    if (text::equal(argument, option)) return option[1];
  }
  return 0;
}

}  // namespace

void printUsage() {
  for (const char* line : kBannerLines) {
    if (text::find(line, text::length(line), "VERSION") != nullptr) {
      platform::print(line, kVersion);
    } else {
      platform::print(line, kProgramFileName);
    }
  }
}

bool parseCommandLine(int argc, char** argv) {
  Cursor cursor{argc, argv, 1};
  while (cursor.index < argc) {
    const char* argument = cursor.argument(0);
    char letter = optionLetter(argument);
    if (letter == 0) {
      const int taken = applyLongOption(argc, argv, cursor.index);
      if (taken < 0) return false;
      if (taken > 0) {
        // --help and --version end the parse: what follows is not looked at.
        if (toolContext.runOptions.request != InfoRequest::kNone) return true;
        cursor.index += taken;
        continue;
      }
      printUsage();
      platform::print("ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:%s\n\n",
                      argument);
      return false;
    }
    if (letter == 'c') {
      toolContext.configMode = true;
      cursor.index += 1;
    } else if (letter == 'h') {
      if (applyHost(cursor) == ParseStep::kError) return false;
    } else if (!cursor.hasArguments(1)) {
      cursor.index += 1;  // a missing option argument is not an error
    } else {
      if (applySingle(letter, cursor.argument(1)) == ParseStep::kError) return false;
      cursor.index += 2;
    }
  }
  return true;
}

const char* shownArgument(int argc, char** argv, int index) {
  for (int i = 1; i < index;) {
    const int taken = argumentsTaken(argc, argv, i);
    if (optionLetter(argv[i]) == 'p' && taken == 2 && i + 1 == index) return "********";
    i += taken;
  }
  return argv[index];
}

int argumentsTaken(int argc, char** argv, int index) {
  const int following = argc - index - 1;
  switch (optionLetter(argv[index])) {
    case 0: return longOptionArguments(argc, argv, index);
    case 'c': return 1;
    case 'h': return following < 2 ? 1 : (argv[index + 2][0] == '-' ? 2 : 3);
    default: return following < 1 ? 1 : 2;
  }
}
