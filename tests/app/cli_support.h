// Shared pieces of the run-control and command-line tests.
#pragma once

#include <string>
#include <vector>

#include "app/run.h"
#include "state/tool_context.h"
#include "sim/rig.h"

// Parses the arguments alone (no mode runs) with the rig's fresh tool state;
// the rig captures the console. args must outlive the checks on toolContext.
inline bool parseOnly(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return parseCommandLine(static_cast<int>(args.size()), argv.data());
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
