// Shared pieces of velkoran-image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imagetool {

// Exit statuses.
constexpr int kExitOk = 0;        // built, or an image the update accepts
constexpr int kExitRefused = 1;   // an image the update refuses
constexpr int kExitFailure = 2;   // bad arguments or a file error

int runBuild(const std::vector<std::string>& args);
int runInspect(const std::vector<std::string>& args);
// 0 equal, 1 different (kExitRefused), 2 bad arguments or unreadable files.
int runCompare(const std::vector<std::string>& args);
void printHelp();

// Decimal, or hexadecimal with 0x; the whole text must be a number.
bool parseNumber(const std::string& text, uint64_t* value);
std::string hex(uint64_t value);
// Prints "velkoran-image: MESSAGE" on stderr and returns kExitFailure.
int fail(const std::string& message);
// Splits a command's arguments into the --json flag and paths; the error
// text of an unknown option, or "" when all were taken.
std::string takeJsonAndPaths(const std::vector<std::string>& args, const std::string& command,
                             bool* json, std::vector<std::string>* paths);
// The error text of errno.
std::string systemError();

}  // namespace imagetool
