#include "platform/linux/link_transport.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/linux/complain.h"
#include "platform/linux/extern_link.h"
#include "platform/linux/ipmi_device.h"
#include "state/tool_context.h"
#include "transport/request.h"

namespace linuxplatform {
namespace {

struct LinkWay {
  std::unique_ptr<link::Client> client;
};

LinkWay& linkOf(void* self) { return *static_cast<LinkWay*>(self); }

const char* linkValue() { return std::getenv(kBmcVariable); }

int openLink(void* self) {
  LinkWay& way = linkOf(self);
  if (way.client) return 0;
  const char* value = linkValue();
  if (std::strcmp(value, "sim") == 0) {
    complain("%s=sim: this program has no simulated BMC (the test build velkoran-sim has)",
             kBmcVariable);
    return -1;
  }
  const std::optional<link::Address> address = link::parseAddress(value);
  if (!address) {
    complain("%s=\"%s\" is not unix:PATH or tcp:HOST:PORT", kBmcVariable, value);
    return -1;
  }
  if (address->unixSocket && address->path.size() > link::kMaximumSocketPath) {
    complain("%s: the socket path is %zu bytes long, longer than the %zu a UNIX socket takes",
             kBmcVariable, address->path.size(), link::kMaximumSocketPath);
    return -1;
  }
  way.client = std::make_unique<link::Client>(*address);
  toolContext.transferBoundSeconds = link::kReplyWaitSeconds;
  return 0;
}

int exchangeLink(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                 int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                 int32_t* responseLength) {
  link::Client& client = *linkOf(self).client;
  if (dataLength < 0 || dataLength > request::kMaxRequestData) return -1;
  link::Bytes message(static_cast<size_t>(dataLength) + 2);
  message[0] = netFnLun;
  message[1] = command;
  if (dataLength > 0) std::memcpy(message.data() + 2, data, static_cast<size_t>(dataLength));
  const std::optional<link::Bytes> reply = client.exchange(message);
  if (client.unanswered()) toolContext.silence.check();
  if (!reply) {
    *responseLength = -1;
    return -1;
  }
  return deliverMessageReply(netFnLun, command, reply->data(), static_cast<int32_t>(reply->size()),
                             response, responseCapacity, responseLength);
}

int closeLink(void* self) {
  linkOf(self).client.reset();
  return 0;
}

// A TCP peer by its host and port as given; a UNIX socket by the file it
// is, so that two spellings of one path are one BMC.
int nameLink(void*, char* name, size_t capacity) {
  const std::optional<link::Address> address = link::parseAddress(linkValue());
  if (!address) return -1;
  if (!address->unixSocket) {
    std::snprintf(name, capacity, "tcp-%s-%u", address->host.c_str(),
                  static_cast<unsigned>(address->port));
    return 0;
  }
  struct stat status;
  if (stat(address->path.c_str(), &status) != 0) {
    std::snprintf(name, capacity, "unix-%s", address->path.c_str());
  } else {
    std::snprintf(name, capacity, "unix-%lu-%lu", static_cast<unsigned long>(status.st_dev),
                  static_cast<unsigned long>(status.st_ino));
  }
  return 0;
}

constexpr TransportMethods kLinkOps = {openLink, exchangeLink, closeLink, nameLink};

}  // namespace

bool linkRequested() {
  const char* value = linkValue();
  return value != nullptr && *value != '\0';
}

TransportOps linkTransport() {
  static LinkWay way;
  return TransportOps{&kLinkOps, &way, request::kMaxRequestData, request::kMaxResponseData};
}

}  // namespace linuxplatform
