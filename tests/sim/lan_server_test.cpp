// bmcsim's RMCP+ server: what a console must get right to reach the BMC,
// and the packets it must never take as data.
#include "sim/lan_server.h"

#include <gtest/gtest.h>

#include "sim/lan_options.h"
#include "support/lan_console.h"

namespace {

using lantest::Console;
using sim::rmcp::Bytes;

const Bytes kDeviceIdReply{0x1C, 0x01, 0x00, 0x20};

struct Lan {
  explicit Lan(std::vector<uint8_t> suites = {3, 17}, uint8_t privilege = 4) {
    config.user = {"admin", "secret", privilege};
    config.suites = std::move(suites);
    bmc.setHandler(0x18, 0x01, [](const sim::Request&) { return sim::Reply{0, {0x20}}; });
    bmc.setHandler(0xF8, 0x17, [](const sim::Request&) { return sim::Reply{0, {0x64}}; });
  }
  sim::LanServer& server() {
    if (!server_) server_.emplace(bmc, config, std::array<uint8_t, 16>{7}, nullptr);
    return *server_;
  }
  sim::Bmc bmc;
  sim::LanConfig config;
  std::optional<sim::LanServer> server_;
};

TEST(LanFraming, ChecksumsAndLengthDecideWhatIsARequest) {
  const Bytes good{0x20, 0x18, 0xC8, 0x81, 0x04, 0x01, 0x7A};
  struct Case {
    size_t flip;  // byte to change; good.size(): none
    bool valid;
  } cases[] = {{good.size(), true}, {2, false}, {6, false}, {5, false}, {0, false}};
  for (const Case& c : cases) {
    Bytes framed = good;
    if (c.flip < framed.size()) framed[c.flip] ^= 1;
    EXPECT_EQ(sim::rmcp::parseLanRequest(framed).has_value(), c.valid) << c.flip;
  }
  EXPECT_FALSE(sim::rmcp::parseLanRequest(Bytes(good.begin(), good.end() - 1)));
  const auto request = sim::rmcp::parseLanRequest(good);
  // The reply names the requester's sequence and LUN and sums to zero in both halves.
  EXPECT_EQ(sim::rmcp::frameLanResponse(*request, kDeviceIdReply),
            (Bytes{0x81, 0x1C, 0x63, 0x20, 0x04, 0x01, 0x00, 0x20, 0xBB}));
}

TEST(LanSequenceWindow, TakesEachNumberOnceWithinTheWindow) {
  sim::rmcp::SequenceWindow window;
  const std::pair<uint32_t, bool> steps[] = {
      {0, false},  {5, true},   {5, false},  {20, true},  {36, false}, {35, true}, {19, true},
      {19, false}, {18, false}, {34, true},  {21, true},  {17, false}, {30, true}, {20, false},
  };
  for (const auto& [sequence, taken] : steps) EXPECT_EQ(window.accept(sequence), taken) << sequence;
}

TEST(LanCrypto, AesRoundTripsAndRefusesABadPad) {
  const Bytes key(16, 0x11);
  for (size_t length : {0u, 1u, 15u, 16u, 40u}) {
    const Bytes plain(length, 0xA5);
    const Bytes sealed = sim::rmcp::aesCbcEncrypt(key, plain);
    EXPECT_EQ(sealed.size() % 16, 0u);
    EXPECT_EQ(sim::rmcp::aesCbcDecrypt(key, sealed.data(), sealed.size()), plain) << length;
    EXPECT_FALSE(sim::rmcp::aesCbcDecrypt(key, sealed.data(), sealed.size() - 1));
  }
  // No data: the block is the pad 01..0F and its length 0F. Through the IV,
  // change its first pad byte, or its length byte to 0E.
  for (size_t flip : {0u, 15u}) {
    Bytes sealed = sim::rmcp::aesCbcEncrypt(key, {});
    sealed[flip] ^= 0x01;
    EXPECT_FALSE(sim::rmcp::aesCbcDecrypt(key, sealed.data(), sealed.size())) << flip;
  }
}

TEST(LanHandshake, StatusCodesForEachRefusal) {
  using Handshake = lantest::Handshake;
  struct Case {
    const char* what;
    std::vector<uint8_t> offered;
    uint8_t privilege;
    uint8_t proposed;
    const char* user;
    const char* password;
    uint8_t role;
    Handshake expected;
  };
  const Case cases[] = {
      {"suite 3", {3, 17}, 4, 3, "admin", "secret", 0x14, {0, 0, 0, true, true}},
      {"suite 17", {3, 17}, 4, 17, "admin", "secret", 0x04, {0, 0, 0, true, true}},
      {"suite 17 not offered", {3}, 4, 17, "admin", "secret", 0x14, {0x11, {}, {}}},
      {"suite 0", {3, 17}, 4, 0, "admin", "secret", 0x14, {0x11, {}, {}}},
      {"wrong user", {3, 17}, 4, 3, "root", "secret", 0x14, {0, 0x0D, {}}},
      {"wrong password", {17}, 4, 17, "admin", "secret!", 0x14, {0, 0, 0x0F, false}},
      {"user asks administrator", {3}, 2, 3, "admin", "secret", 0x14, {0, 0x0A, {}}},
      {"user asks user", {3}, 2, 3, "admin", "secret", 0x12, {0, 0, 0, true, true}},
      {"no role", {3}, 4, 3, "admin", "secret", 0x10, {0, 0x09, {}}},
  };
  for (const Case& c : cases) {
    Lan lan(c.offered, c.privilege);
    Console console(lan.server(), c.user, c.password);
    const Handshake got = console.open(c.proposed, c.role);
    EXPECT_EQ(got.openSession, c.expected.openSession) << c.what;
    EXPECT_EQ(got.rakp2, c.expected.rakp2) << c.what;
    EXPECT_EQ(got.rakp4, c.expected.rakp4) << c.what;
    EXPECT_EQ(got.rakp2Verified, c.expected.rakp2Verified) << c.what;
    EXPECT_EQ(got.rakp4Verified, c.expected.rakp4Verified) << c.what;
    // A refused handshake leaves no session behind.
    EXPECT_EQ(lan.server().sessions().count(), got.rakp4 == 0 ? 1u : 0u) << c.what;
  }
}

// Before a session only the channel questions are answered, in the
// header (IPMI v1.5 or RMCP+) they came in.
TEST(LanServer, QuestionsBeforeASession) {
  struct Case {
    std::vector<uint8_t> suites;
    Bytes request;  // netFnLun command data
    Bytes reply;
  } cases[] = {
      {{3, 17}, {0x18, 0x38, 0x8E, 0x04}, {0x1C, 0x38, 0, 0x01, 0x80, 0x04, 0x02, 0, 0, 0, 0}},
      {{3, 17}, {0x18, 0x38, 0x85, 0x04}, {0x1C, 0x38, 0xCC}},
      {{17}, {0x18, 0x54, 0x0E, 0x00, 0x80}, {0x1C, 0x54, 0, 0x01, 0xC0, 17, 0x03, 0x44, 0x81}},
      {{3, 17},
       {0x18, 0x54, 0x0E, 0x00, 0x80},
       {0x1C, 0x54, 0, 0x01, 0xC0, 3, 0x01, 0x41, 0x81, 0xC0, 17, 0x03, 0x44, 0x81}},
      {{3}, {0x18, 0x54, 0x0E, 0x00, 0x81}, {0x1C, 0x54, 0, 0x01}},
      {{3}, {0x18, 0x01}, {0x1C, 0x01, 0xD4}},
  };
  for (const Case& c : cases) {
    Lan lan(c.suites);
    Bytes framed{0x20, c.request[0]};
    framed.push_back(sim::rmcp::checksum(framed.data(), 2));
    framed.insert(framed.end(), {0x81, 0x08});
    framed.insert(framed.end(), c.request.begin() + 1, c.request.end());
    framed.push_back(sim::rmcp::checksum(framed.data() + 3, framed.size() - 3));
    const Bytes expected = sim::rmcp::frameLanResponse(*sim::rmcp::parseLanRequest(framed), c.reply);
    const auto legacy = lan.server().handle(sim::rmcp::buildV15(framed), 0);
    ASSERT_EQ(legacy.size(), 1u);
    EXPECT_EQ(legacy[0].packet, sim::rmcp::buildV15(expected));
    const auto plus = lan.server().handle(sim::rmcp::buildV20(0, 0, 0, framed, nullptr), 0);
    ASSERT_EQ(plus.size(), 1u);
    EXPECT_EQ(plus[0].packet, sim::rmcp::buildV20(0, 0, 0, expected, nullptr));
    EXPECT_EQ(lan.bmc.received.size(), 0u);
  }
  Lan lan;
  const Bytes ping{0x06, 0x00, 0xFF, 0x06, 0x00, 0x00, 0x11, 0xBE, 0x80, 0x2A, 0x00, 0x00};
  const auto pong = lan.server().handle(ping, 0);
  ASSERT_EQ(pong.size(), 1u);
  EXPECT_EQ(Bytes(pong[0].packet.begin(), pong[0].packet.begin() + 12),
            (Bytes{0x06, 0x00, 0xFF, 0x06, 0x00, 0x00, 0x11, 0xBE, 0x40, 0x2A, 0x00, 0x10}));
  EXPECT_EQ(pong[0].packet.size(), 28u);
}

TEST(LanSession, RequestsReachTheBmcOnceAndBadPacketsNever) {
  for (uint8_t suite : {3, 17}) {
    Lan lan;
    Console console(lan.server(), "admin", "secret");
    ASSERT_EQ(console.open(suite).rakp4, 0);
    EXPECT_EQ(console.ask(0x18, 0x01), kDeviceIdReply);
    const Bytes request = console.seal(0x18, 0x01, {});
    Bytes corrupted = request;
    corrupted[corrupted.size() / 2] ^= 0x01;
    Bytes otherSession = request;
    otherSession[6] ^= 0x01;
    Bytes plain = console.seal(0x18, 0x01, {});
    plain[5] &= static_cast<uint8_t>(~sim::rmcp::kPayloadEncrypted);
    EXPECT_TRUE(lan.server().handle(corrupted, 0).empty());
    EXPECT_TRUE(lan.server().handle(otherSession, 0).empty());
    EXPECT_TRUE(lan.server().handle(plain, 0).empty());
    EXPECT_EQ(lan.server().handle(request, 0).size(), 1u);
    EXPECT_TRUE(lan.server().handle(request, 0).empty()) << "a replay";
    EXPECT_EQ(lan.bmc.countOf(0x18, 0x01), 2);
  }
}

TEST(LanSession, PrivilegeCloseAndColdReset) {
  Lan lan({3}, 2);
  Console user(lan.server(), "admin", "secret");
  ASSERT_EQ(user.open(3, 0x12).rakp4, 0);
  EXPECT_EQ(user.ask(0x18, 0x01), kDeviceIdReply);
  EXPECT_EQ(user.ask(0xF8, 0x17), (Bytes{0xFC, 0x17, 0xD4}));
  EXPECT_EQ(user.ask(0xF8, 0x99), (Bytes{0xFC, 0x99, 0xC1})) << "unknown to anyone";
  EXPECT_EQ(user.ask(0x18, 0x3B, {0x04}), (Bytes{0x1C, 0x3B, 0x80}));
  EXPECT_EQ(lan.bmc.countOf(0xF8, 0x17), 0);

  Lan admin;
  Console console(admin.server(), "admin", "secret");
  ASSERT_EQ(console.open(17).rakp4, 0);
  Bytes closeOther{0, 0, 0, 0};
  EXPECT_EQ(console.ask(0x18, 0x3C, closeOther), (Bytes{0x1C, 0x3C, 0x87}));
  EXPECT_EQ(console.ask(0x18, 0x02), (Bytes{0x1C, 0x02, 0x00}));
  EXPECT_EQ(admin.bmc.coldResets, 1);
  EXPECT_EQ(console.ask(0x18, 0x01), std::nullopt) << "sessions end with the cold reset";
  ASSERT_EQ(console.open(17).rakp4, 0);
  Bytes close;
  sim::rmcp::appendLe32(close, console.bmcId);
  EXPECT_EQ(console.ask(0x18, 0x3C, close), (Bytes{0x1C, 0x3C, 0x00}));
  EXPECT_EQ(console.ask(0x18, 0x01), std::nullopt);
}

TEST(LanFaults, KnobsActOnTheNthReplyOnly) {
  struct Case {
    const char* option;
    size_t sent;      // datagrams for the 2nd reply
    bool readable;    // the 2nd reply opens
    int delayMillis;  // of the 2nd reply
  } cases[] = {
      {"drop:2", 0, false, 0},
      {"duplicate:2", 2, true, 0},
      {"corrupt:2", 1, false, 0},
      {"delay:2:250", 1, true, 250},
  };
  for (const Case& c : cases) {
    Lan lan;
    std::vector<sim::BmcsimOption> options;
    sim::addLanOptions(options);
    sim::BmcsimSettings settings{lan.bmc, {}, {}, false, {}, nullptr, &lan.config};
    for (const auto& option : options) {
      if (std::string(option.name) == "--lan-fault") {
        ASSERT_TRUE(option.apply(settings, c.option));
      }
    }
    Console console(lan.server(), "admin", "secret");
    ASSERT_EQ(console.open(3).rakp4, 0);
    EXPECT_EQ(console.ask(0x18, 0x01), kDeviceIdReply) << c.option;
    const auto replies = lan.server().handle(console.seal(0x18, 0x01, {}), 0);
    ASSERT_EQ(replies.size(), c.sent) << c.option;
    if (c.sent == 0) continue;
    EXPECT_EQ(console.unseal(replies[0].packet).has_value(), c.readable) << c.option;
    EXPECT_EQ(replies[0].delayMillis, c.delayMillis) << c.option;
    EXPECT_EQ(console.ask(0x18, 0x01), kDeviceIdReply) << c.option;
  }
}

TEST(LanOptions, RefusesWhatIsNoKnobOrSuite) {
  const std::pair<const char*, const char*> bad[] = {
      {"--lan-ciphers", "0"},      {"--lan-ciphers", "3,"},     {"--lan-ciphers", "2"},
      {"--lan-fault", "drop:0"},   {"--lan-fault", "lose:1"},   {"--lan-delay", "3"},
      {"--lan-user", "seventeen-bytes-x"}, {"--lan-password", "twenty-one-bytes-long"},
      {"--lan-privilege", "root"}, {"--lan", "127.0.0.1"},      {"--lan", "::1:623"},
  };
  sim::Bmc bmc;
  sim::LanConfig config;
  sim::BmcsimSettings settings{bmc, {}, {}, false, {}, nullptr, &config};
  std::vector<sim::BmcsimOption> options;
  sim::addLanOptions(options);
  for (const auto& [name, value] : bad) {
    for (const auto& option : options) {
      if (name == std::string(option.name)) {
        EXPECT_FALSE(option.apply(settings, value)) << name << value;
      }
    }
  }
}

}  // namespace
