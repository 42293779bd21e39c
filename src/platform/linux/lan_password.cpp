#include "platform/linux/lan_password.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/linux/lan_crypto_openssl.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "state/tool_context.h"

namespace linuxplatform {
namespace {

// True when the first line of text fits the password field.
bool takePassword(const char* text, size_t length) {
  size_t end = 0;
  while (end < length && text[end] != '\n' && text[end] != '\r') ++end;
  if (end >= sizeof toolContext.password) {
    platform::print("ERROR:THE PASSWORD IS LONGER THAN %u BYTES\n\n",
                    static_cast<unsigned>(sizeof toolContext.password - 1));
    return false;
  }
  for (size_t i = 0; i < end; ++i) toolContext.password[i] = text[i];
  toolContext.password[end] = '\0';
  return true;
}

bool readPasswordFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (fd >= 0) close(fd);
    platform::print("ERROR:CANNOT READ THE PASSWORD FILE:%s\n\n", path);
    return false;
  }
  if ((status.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    platform::print("ERROR:THE PASSWORD FILE MAY BE READ BY OTHER USERS, chmod 600 IT:%s\n\n",
                    path);
    return false;
  }
  char buffer[64];
  const ssize_t length = read(fd, buffer, sizeof buffer);
  close(fd);
  const bool taken = length >= 0 && takePassword(buffer, static_cast<size_t>(length));
  OpenSslCrypto().wipe(buffer, sizeof buffer);
  if (length < 0) platform::print("ERROR:CANNOT READ THE PASSWORD FILE:%s\n\n", path);
  return taken;
}

void wipePassword() { OpenSslCrypto().wipe(toolContext.password, sizeof toolContext.password); }

}  // namespace

bool findLanPassword() {
  // Registered before the session's own end, so that it runs after it.
  std::atexit(wipePassword);
  if (toolContext.password[0] != '\0') {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "velkoran: warning: other local users can read a password given with -p "
                 "(ps); use %s or --password-file instead\n",
                 kPasswordVariable);
    return true;
  }
  if (const char* path = toolContext.runOptions.passwordFile) return readPasswordFile(path);
  const char* value = std::getenv(kPasswordVariable);
  return value == nullptr || takePassword(value, text::length(value));
}

}  // namespace linuxplatform
