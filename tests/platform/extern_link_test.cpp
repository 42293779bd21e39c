// QEMU's external-BMC protocol: framing, and both ends over a real socket.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "state/tool_context.h"
#include "sim/extern_link.h"
#include "sim/host_link.h"
#include "sim/probe_bmc.h"
#include "sim/rig.h"
#include "transport/ipmi.h"
#include "transport/kcs.h"

namespace {

using sim::Bytes;
namespace link = sim::link;

TEST(ExternFraming, EscapesSpecialBytesAndAppendsChecksum) {
  struct Case {
    uint8_t seq;
    Bytes payload;
    Bytes wire;
  };
  const Case cases[] = {
      // 01 + 18 + 02 + E5 = 0x100
      {0x01, {0x18, 0x02}, {0x01, 0x18, 0x02, 0xE5, 0xA0}},
      {0xA0, {0x18, 0x02}, {0xAA, 0xB0, 0x18, 0x02, 0x46, 0xA0}},
      {0x00, {0xF8, 0x70, 0xA1, 0xAA}, {0x00, 0xF8, 0x70, 0xAA, 0xB1, 0xAA, 0xBA, 0x4D, 0xA0}},
      // A checksum that is itself special: 0x10 + 0x50 + 0xA0 = 0x100.
      {0x10, {0x50}, {0x10, 0x50, 0xAA, 0xB0, 0xA0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(link::encodeMessage(c.seq, c.payload), c.wire);
  }
  EXPECT_EQ(link::encodeControl({0xFF, 0x01}), Bytes({0xFF, 0x01, 0xA1}));
  EXPECT_EQ(link::encodeControl({0x08, 0xAA}), Bytes({0x08, 0xAA, 0xBA, 0xA1}));
}

TEST(ExternFraming, DecodesWhatItEncodes) {
  link::Decoder decoder(4);
  std::vector<link::Frame> frames;
  Bytes stream = link::encodeControl({0xFF, 0x01});
  for (int seq : {0, 0x5F, 0xA0, 0xA1, 0xAA, 0xFF}) {
    Bytes payload{0xF8, 0x70};
    for (int i = 0; i < 62; ++i) payload.push_back(static_cast<uint8_t>(0x9E + i + seq));
    const Bytes encoded = link::encodeMessage(static_cast<uint8_t>(seq), payload);
    stream.insert(stream.end(), encoded.begin(), encoded.end());
  }
  for (uint8_t byte : stream) {
    if (auto frame = decoder.feed(byte)) frames.push_back(*frame);
  }
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[0].kind, link::Frame::control);
  EXPECT_EQ(frames[0].payload, Bytes({0xFF, 0x01}));
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].kind, link::Frame::message);
    EXPECT_EQ(frames[i].payload.size(), 64u);
    EXPECT_EQ(frames[i].payload[2], static_cast<uint8_t>(0x9E + frames[i].seq));
  }
  EXPECT_EQ(decoder.dropped, 0);
}

TEST(ExternFraming, DropsShortAndCorruptMessages) {
  link::Decoder decoder(5);
  Bytes corrupt = link::encodeMessage(3, {0x1C, 0x02, 0x00});
  corrupt[1] ^= 0x01;
  const Bytes tooShort = link::encodeMessage(3, {0x1C, 0x02});
  const Bytes good = link::encodeMessage(4, {0x1C, 0x02, 0x00});
  int delivered = 0;
  for (const Bytes* wire : {static_cast<const Bytes*>(&corrupt), &tooShort, &good}) {
    for (uint8_t byte : *wire) delivered += decoder.feed(byte).has_value();
  }
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(decoder.dropped, 2);
}

TEST(ExternAddress, ParsesSocketNames) {
  const auto unixSocket = link::parseAddress("unix:/tmp/bmc.sock");
  ASSERT_TRUE(unixSocket);
  EXPECT_TRUE(unixSocket->unixSocket);
  EXPECT_EQ(unixSocket->path, "/tmp/bmc.sock");
  const auto tcp = link::parseAddress("tcp:127.0.0.1:9002");
  ASSERT_TRUE(tcp);
  EXPECT_EQ(tcp->host, "127.0.0.1");
  EXPECT_EQ(tcp->port, 9002);
  for (const char* bad : {"", "unix:", "tcp:9002", "tcp:h:0", "tcp:h:70000", "tcp:h:9x", "udp:h:1"}) {
    EXPECT_FALSE(link::parseAddress(bad)) << bad;
  }
}

// A bmcsim-like server on one end of a socket pair, in a thread.
class ExternLinkTest : public ::testing::Test {
 protected:
  ExternLinkTest() {
    sim::installProbeHandlers(served);
    journal = std::tmpfile();
    address.unixSocket = true;
    address.path = rig.directory() / "bmc.sock";
    listener = link::listenOn(address);
    server = std::thread([this] {
      const int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) return;
      link::Server link(served, journal);
      link.serveConnection(connection, &stop);
      close(connection);
    });
  }

  ~ExternLinkTest() override {
    client.reset();  // closing the connection ends the server loop
    shutdown(listener, SHUT_RDWR);
    server.join();
    close(listener);
    std::fclose(journal);
  }

  void connect(int timeoutMillis = 4000) {
    client.emplace(address, timeoutMillis);
    rig.kcs.setEndpoint(&*client);
    rig.bindTransport();
  }

  std::string journalText() {
    std::fflush(journal);
    std::rewind(journal);
    std::string text;
    for (int c; (c = std::fgetc(journal)) != EOF;) text += static_cast<char>(c);
    return text;
  }

  sim::Rig rig;
  sim::Bmc served;
  std::FILE* journal;
  link::Address address;
  int listener = -1;
  volatile std::sig_atomic_t stop = 0;
  std::thread server;
  std::optional<link::ClientEndpoint> client;
};

TEST_F(ExternLinkTest, CarriesTransfersBothWays) {
  connect();
  const Bytes special{0xA0, 0xA1, 0xAA, 0x00, 0xFF, 0xAA};
  uint8_t response[kKcsMaxResponseData];
  int32_t length = 0;
  EXPECT_EQ(kcsTransfer(sim::kProbeNetFnLun, sim::kProbeEcho, special.data(), 6, response,
                        sizeof response, &length), 0);
  EXPECT_EQ(Bytes(response, response + length), special);

  const uint8_t sized[2] = {125, 0x9F};
  EXPECT_EQ(kcsTransfer(sim::kProbeNetFnLun, sim::kProbeSized, sized, 2, response,
                        sizeof response, &length), 0);
  ASSERT_EQ(length, 125);
  EXPECT_EQ(response[124], static_cast<uint8_t>(0x9F + 124));

  const uint8_t failing[2] = {0xCD, 0x02};
  EXPECT_EQ(kcsTransfer(sim::kProbeNetFnLun, sim::kProbeCode, failing, 2, response,
                        sizeof response, &length), 0xCD);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(response[0], 0x02);
  EXPECT_EQ(served.received.size(), 3u);
  EXPECT_EQ(rig.console, "");

  const std::string journal = journalText();
  EXPECT_NE(journal.find("CTL FF 01\n"), std::string::npos);
  EXPECT_NE(journal.find("REQ 00 F8 70 A0 A1 AA 00 FF AA\nRSP 00 FC 70 00 A0 A1 AA 00 FF AA\n"),
            std::string::npos);
  EXPECT_NE(journal.find("RSP 02 FC 72 CD 02\n"), std::string::npos);
}

TEST_F(ExternLinkTest, AnswersTimeoutItselfWhenTheBmcIsSilent) {
  connect(200);
  uint8_t response[8];
  int32_t length = 9;
  EXPECT_EQ(kcsTransfer(sim::kProbeNetFnLun, sim::kProbeSilent, nullptr, 0, response,
                        sizeof response, &length), sim::kCompletionTimeout);
  EXPECT_EQ(length, 0);
  // The next request is served normally.
  const uint8_t data[1] = {0x42};
  EXPECT_EQ(kcsTransfer(sim::kProbeNetFnLun, sim::kProbeEcho, data, 1, response,
                        sizeof response, &length), 0);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(response[0], 0x42);
  EXPECT_NE(journalText().find("RSP 00 none\n"), std::string::npos);
}

// A peer whose replies carry another sequence number (late replies to
// earlier requests): none of them is taken; the client answers 0xC3 itself.
TEST(ExternLinkPeer, TakesNoReplyWithAnotherSequenceNumber) {
  sim::Rig rig;
  link::Address address;
  address.unixSocket = true;
  address.path = rig.directory() / "peer.sock";
  const int listener = link::listenOn(address);
  ASSERT_GE(listener, 0);
  std::thread peer([listener] {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) return;
    link::Decoder decoder(3);
    uint8_t buffer[256];
    for (bool answered = false; !answered;) {
      const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n && !answered; ++i) {
        const std::optional<link::Frame> frame = decoder.feed(buffer[i]);
        if (!frame || frame->kind != link::Frame::message) continue;
        Bytes reply = frame->payload;
        reply[0] |= 0x04;
        reply.insert(reply.begin() + 2, 0x00);
        for (uint8_t seq : {uint8_t(frame->seq - 1), uint8_t(frame->seq + 1)}) {
          const Bytes wire = link::encodeMessage(seq, reply);
          send(connection, wire.data(), wire.size(), MSG_NOSIGNAL);
        }
        answered = true;
      }
    }
    char rest[64];
    while (recv(connection, rest, sizeof rest, 0) > 0) {
    }
    close(connection);
  });
  {
    link::Client client(address, 300);
    EXPECT_EQ(client.exchange({0x18, 0x01}), Bytes({0x1C, 0x01, sim::kCompletionTimeout}));
    EXPECT_TRUE(client.unanswered());
  }
  peer.join();
  close(listener);
}

TEST(ExternLinkAbsent, AnswersNotPresentWithoutABmc) {
  sim::Rig rig;
  link::Address nowhere;
  nowhere.unixSocket = true;
  nowhere.path = rig.directory() / "nobody.sock";
  link::ClientEndpoint client(nowhere, 100);
  rig.kcs.setEndpoint(&client);
  rig.bindTransport();
  uint8_t response[8];
  int32_t length = 9;
  EXPECT_EQ(kcsTransfer(0x18, 0x02, nullptr, 0, response, sizeof response, &length),
            sim::kCompletionNotPresent);
  EXPECT_EQ(length, 0);
}

// A peer whose accept queue is full drops the connection request: without
// a limit of its own the connect would wait for the kernel's (two minutes),
// holding a cold reset that must go out after a signal.
TEST(ExternLinkAbsent, GivesUpAConnectionThatIsNeverAccepted) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof local;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&local), &size), 0);
  std::vector<int> waiting;
  bool full = false;
  while (!full && waiting.size() < 16) {
    waiting.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    connect(waiting.back(), reinterpret_cast<sockaddr*>(&local), sizeof local);
    pollfd connected{waiting.back(), POLLOUT, 0};
    full = poll(&connected, 1, 300) == 0;
  }
  link::Address address;
  address.host = "127.0.0.1";
  address.port = ntohs(local.sin_port);
  link::Client client(address, 300);
  const auto start = std::chrono::steady_clock::now();
  const std::optional<Bytes> reply = client.exchange({0x18, 0x02});
  const auto waited = std::chrono::steady_clock::now() - start;
  for (int fd : waiting) close(fd);
  close(listener);
  if (!full) GTEST_SKIP() << "this kernel accepted every connection";
  EXPECT_EQ(reply, Bytes({0x1C, 0x02, sim::kCompletionNotPresent}));
  // Far below the kernel's own limit; only a connect without one fails this.
  EXPECT_LT(waited, std::chrono::seconds(20));
}

}  // namespace

namespace {

TEST(ExternLinkEnvironment, AttachesOnlyWhatItUnderstands) {
  struct Case {
    const char* value;  // nullptr: unset
    bool accepted;
    bool attached;
  };
  // Only "sim" puts the in-process simulated BMC on the ports; unset or
  // empty leaves them to nothing.
  for (const Case& c : {Case{nullptr, true, false}, Case{"", true, false}, Case{"sim", true, true},
                        Case{"unix:/tmp/velkoran-none.sock", true, true},
                        Case{"tcp:127.0.0.1:1", true, true}, Case{"bmc.sock", false, false},
                        Case{"tcp:localhost", false, false}}) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    sim::Rig rig;
    hostplatform::setPortDevice(nullptr);
    if (c.value != nullptr) {
      setenv(sim::kBmcEnvironmentVariable, c.value, 1);
    } else {
      unsetenv(sim::kBmcEnvironmentVariable);
    }
    EXPECT_EQ(sim::attachBmcFromEnvironment(), c.accepted);
    EXPECT_EQ(hostplatform::portDevice() != nullptr, c.attached);
    if (c.value != nullptr && std::string(c.value) == "sim") {
      rig.bindTransport();
      EXPECT_EQ(ipmiColdReset(), 0);
    }
    unsetenv(sim::kBmcEnvironmentVariable);
  }
}

}  // namespace
