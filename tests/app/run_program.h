// Runs the program in-process with a fresh tool state and captured console.
#pragma once

#include <string>
#include <vector>

#include "app/run.h"
#include "app/tool_context.h"
#include "platform/host/host.h"

struct ProgramRun {
  int result;
  std::string console;
};

inline ProgramRun runProgram(const std::vector<std::string>& arguments, bool parseOnly = false) {
  // The tool state refers into the argument vector: keep it until the next run.
  static std::vector<std::string> args;
  args = arguments;
  resetToolContext();
  hostplatform::resetAll();
  std::string console;
  hostplatform::captureConsole(&console);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(args.size());
  int result = parseOnly ? (parseCommandLine(argc, argv.data()) ? 1 : 0)
                         : runTool(argc, argv.data());
  hostplatform::captureConsole(nullptr);
  return {result, console};
}

// The usage banner, byte for byte.
inline const std::string kBanner =
    "*****************************************************************************\n"
    "*****************************************************************************\n"
    "* FUNCTION   :  IPMI FIRMWARE UPDATE UTILITY                                *\n"
    "* VERSION    :  2.08                                                        *\n"
    "* BUILD DATE :  Mar 15 2019                                                 *\n"
    "* USAGE      :                                                              *\n"
    "*             (1)Update FIRMWARE : Velkoran.exe -f filename.bin [OPTION]     *\n"
    "*             (2)Dump FIRMWARE   : Velkoran.exe -d filename                  *\n"
    "*             (3)Restore CONFIG  : Velkoran.exe -c -f filename.bin           *\n"
    "*             (4)Backup CONFIG   : Velkoran.exe -c -d filename.bin           *\n"
    "*****************************************************************************\n"
    "* OPTION                                                                    *\n"
    "*   -r Preserve Configuration(default is Preserve)                          *\n"
    "*      n:No Preserve, reset to factory default settings                     *\n"
    "*      y:Preserve, keep all of the settings                                 *\n"
    "*   -c IPMI configuration backup/restore                                    *\n"
    "*      -f [restore.bin] Restore configurations                              *\n"
    "*      -d [backup.bin] Backup configurations                                *\n"
    "*****************************************************************************\n"
    "\n";
