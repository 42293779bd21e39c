// Where velkoran for Linux finds the LAN password: -p (with a warning, as
// every local user can read the process list), else --password-file FILE
// (its first line; a file others may read is refused), else the variable
// VELKORAN_PASSWORD.
#pragma once

namespace linuxplatform {

constexpr const char* kPasswordVariable = "VELKORAN_PASSWORD";

// Fills toolContext.password; false after a console line.
bool findLanPassword();

}  // namespace linuxplatform
