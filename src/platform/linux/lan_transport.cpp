#include "platform/linux/lan_transport.h"

#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "platform/linux/complain.h"
#include "platform/linux/lan_crypto_openssl.h"
#include "platform/linux/lan_socket.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "state/tool_context.h"
#include "transport/ipmi_wire.h"
#include "transport/lan_session.h"
#include "transport/request.h"

namespace linuxplatform {
namespace {

constexpr const char* kDefaultPort = "623";

struct LanLink {
  OpenSslCrypto crypto;
  UdpDatagrams net;
  lan::Session session{net, crypto};
  bool afterReset = false;
  bool programmingSeen = false;
};

LanLink& linkOf(void* self) { return *static_cast<LanLink*>(self); }

// Set once the link exists, for the signal handler (which must not make it).
LanLink* volatile linkForSignals = nullptr;

const char* port() { return toolContext.port[0] != '\0' ? toolContext.port : kDefaultPort; }

// libcrypto may have ended itself before this runs: the Close Session that
// goes is the one made ready after the last exchange.
void endOfProgram() {
  lanFarewell();
  if (LanLink* l = linkForSignals) l->session.forget();
}

// quiet: a probe while the BMC restarts, where silence is expected.
int openSession(LanLink& l, bool quiet) {
  if (l.session.active()) return 0;
  if (l.net.descriptor() < 0 && l.net.connectTo(toolContext.host, port()) != 0) return -1;
  if (linkForSignals == nullptr) {
    linkForSignals = &l;
    std::atexit(endOfProgram);
  }
  switch (l.session.open(toolContext.userName, toolContext.password,
                         toolContext.runOptions.cipherSuite)) {
    case lan::OpenResult::kOpened:
      return 0;
    case lan::OpenResult::kNoAnswer:
      if (!quiet) complain("the BMC at %s port %s did not answer", toolContext.host, port());
      return -1;
    case lan::OpenResult::kNoSuite:
      platform::print(
          "ERROR:THE BMC OFFERS NO CIPHER SUITE WITH INTEGRITY AND ENCRYPTION (3 OR 17)\n\n");
      break;
    case lan::OpenResult::kRefusedCredentials:
      platform::print("ERROR:THE BMC REFUSED THE USER NAME OR PASSWORD\n\n");
      break;
  }
  noteOutcome(RunOutcome::kRefused);
  return -1;
}

// An update that the BMC programmed has ended: the BMC restarts into its
// new firmware and forgets the session, as after a cold reset.
bool bmcRestartsAfterUpdate(LanLink& l) {
  const UpdateStage stage = toolContext.runRecord.stage;
  if (stage == UpdateStage::kProgramming) l.programmingSeen = true;
  return l.programmingSeen && stage == UpdateStage::kNone && !l.afterReset;
}

int openOp(void* self) { return openSession(linkOf(self), false); }

int exchangeOp(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
               int32_t dataLength, uint8_t* response, int32_t responseCapacity,
               int32_t* responseLength) {
  *responseLength = -1;
  LanLink& l = linkOf(self);
  if (dataLength < 0) return -1;
  if (bmcRestartsAfterUpdate(l)) {
    l.session.close();
    l.afterReset = true;
  }
  if (l.afterReset && openSession(l, true) != 0) return -1;
  const int code = l.session.exchange(netFnLun, command, data, static_cast<size_t>(dataLength),
                                      response, responseCapacity, responseLength);
  if (l.afterReset) {
    l.session.close();
  } else if (netFnLun == kNetFnLunApp && command == kCmdColdReset && (code == 0 || code < 0)) {
    // The BMC restarts (or may have) and forgets the session: nothing to
    // close. One that refused the reset keeps it until the end.
    l.session.forget();
    l.afterReset = true;
  }
  return code;
}

int closeOp(void* self) {
  // A run that a signal ends waits for no reply: the Close Session made
  // ready beforehand goes out alone.
  if (platform::stopRequested()) lanFarewell();
  linkOf(self).session.close();
  return 0;
}

// The host and port as given: a name and its address are not told to be
// the same BMC.
int nameOp(void*, char* name, size_t capacity) {
  std::snprintf(name, capacity, "lan-%s-%s", toolContext.host, port());
  return 0;
}

constexpr TransportMethods kLanOps = {openOp, exchangeOp, closeOp, nameOp};

}  // namespace

TransportOps lanTransport() {
  static LanLink link;
  return TransportOps{&kLanOps, &link, request::kMaxRequestData, request::kMaxResponseData};
}

bool lanRequested() { return text::equal(toolContext.interfaceName, "lan"); }

void lanFarewell() {
  LanLink* l = linkForSignals;
  if (l == nullptr) return;
  size_t length = 0;
  if (const uint8_t* packet = l->session.farewell(&length)) {
    send(l->net.descriptor(), packet, length, MSG_DONTWAIT);
  }
}

}  // namespace linuxplatform
