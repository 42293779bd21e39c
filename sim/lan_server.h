// bmcsim's BMC on a LAN channel: RMCP+ packets in, packets out. Presence
// pings, the session handshake and the session commands are answered here;
// every other IPMI request goes to the same simulated BMC that serves the
// KCS interface, and both are written to the journal as over the socket:
//   REQ <rqSeq> <netFnLun cmd data...>
//   RSP <rqSeq> <reply bytes> | none
#pragma once

#include <array>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/bmc.h"
#include "sim/lan_session.h"

namespace sim {

// Faults on the Nth reply to an IPMI request received over LAN (counted
// from 1, as the RSP lines of the journal that carry a reply).
struct LanFaults {
  std::set<int> drop;
  std::set<int> duplicate;
  std::set<int> corrupt;
  std::map<int, int> delayMillis;
};

struct LanConfig {
  std::string address;  // HOST:PORT; empty: no LAN
  rmcp::LanUser user;
  std::vector<uint8_t> suites{3, 17};
  LanFaults faults;
};

struct LanDatagram {
  rmcp::Bytes packet;
  int delayMillis = 0;
};

class LanServer {
 public:
  LanServer(Bmc& bmc, const LanConfig& config, std::array<uint8_t, 16> guid, std::FILE* journal);

  // Handles one received packet; returns what to send back (maybe nothing).
  std::vector<LanDatagram> handle(const rmcp::Bytes& packet, uint64_t nowMicros);

  // Whether the BMC is up; notices its reboots (sessions end with them).
  // Called for every packet, and now and then when none arrives.
  bool watchReboot();

  rmcp::SessionTable& sessions() { return sessions_; }

 private:
  std::vector<LanDatagram> sessionless(const rmcp::Bytes& packet, const rmcp::V20Packet& header,
                                       uint64_t now);
  std::vector<LanDatagram> inSession(const rmcp::Bytes& packet, const rmcp::V20Packet& header,
                                     uint64_t now);
  // The reply message to one request (nothing: unanswered), journaled.
  std::optional<rmcp::Bytes> answer(const rmcp::LanRequest& request, rmcp::Session* session);
  std::optional<rmcp::Bytes> sessionCommand(const rmcp::LanRequest& request,
                                            rmcp::Session* session);
  std::vector<LanDatagram> withFaults(rmcp::Bytes packet);
  void log(const char* tag, uint8_t sequence, const std::optional<rmcp::Bytes>& bytes);

  Bmc& bmc_;
  LanFaults faults_;
  rmcp::SessionTable sessions_;
  std::FILE* journal_;
  int repliesSent_ = 0;
  bool bmcWasDown_ = false;
  bool coldReset_ = false;
  uint32_t closing_ = 0;  // the session a Close Session request ends
};

}  // namespace sim
