// One run of the program per BMC: a lock file under /run/lock named for the
// way to the BMC, locked with flock for the whole job (released by the
// kernel when the process ends, however it ends). Other IPMI programs do
// not know it.
#pragma once

#include <cstdint>
#include <string>

namespace linuxplatform {

constexpr const char* kLockFolder = "/run/lock";

// The lock file for a way to the BMC, e.g. "ipmi-241-0" or "kcs-0ca3-0ca2":
// kLockFolder/velkoran-WAY.lock, with every byte but letters, digits, '.',
// '_' and '-' made '_'. A way that had to change, or is long, is cut and
// ends with a hash of the whole, so that no two ways share a file.
std::string bmcLockPath(const std::string& way);

enum class LockResult { taken, busy, unavailable };
// Takes the lock and keeps it until the process ends. The file is never
// written, followed through a link or cut: the folder is world-writable.
// Without the folder there is nothing to lock: taken.
LockResult lockBmc(const std::string& way, std::string* problem);

}  // namespace linuxplatform
