// The RMCP+ session against a BMC side written from the definitions.
#include <gtest/gtest.h>

#include "platform/linux/lan_crypto_openssl.h"
#include "support/lan_test_bmc.h"
#include "transport/lan_session.h"

namespace {

using lantest::Bytes;
using lantest::TestBmc;

struct LanSessionTest : ::testing::Test {
  TestBmc bmc;
  linuxplatform::OpenSslCrypto crypto;
  lan::Session session{bmc, crypto};

  void openWell() { ASSERT_EQ(lan::OpenResult::kOpened, session.open("admin", "secret", 0)); }
  int ask(uint8_t netFnLun, uint8_t command, Bytes data, Bytes* reply = nullptr) {
    uint8_t response[64];
    int32_t length = 0;
    const int code = session.exchange(netFnLun, command, data.data(), data.size(), response,
                                      sizeof response, &length);
    if (reply != nullptr && code >= 0) reply->assign(response, response + length);
    return code;
  }
};

TEST_F(LanSessionTest, SuiteAndCredentialsDecideTheOpening) {
  struct Case {
    const char* name;
    std::set<int> offered;
    uint8_t pinned;
    const char* user;
    const char* password;
    lan::OpenResult result;
    int suite;
  };
  const Case cases[] = {
      {"17 preferred", {3, 17}, 0, "admin", "secret", lan::OpenResult::kOpened, 17},
      {"3 accepted", {3}, 0, "admin", "secret", lan::OpenResult::kOpened, 3},
      {"3 pinned", {3, 17}, 3, "admin", "secret", lan::OpenResult::kOpened, 3},
      {"17 pinned, 3 offered", {3}, 17, "admin", "secret", lan::OpenResult::kNoSuite, 0},
      {"neither offered", {}, 0, "admin", "secret", lan::OpenResult::kNoSuite, 0},
      {"wrong password", {3, 17}, 0, "admin", "guess", lan::OpenResult::kRefusedCredentials, 17},
      {"wrong user", {3}, 0, "root", "secret", lan::OpenResult::kRefusedCredentials, 3},
      {"password too long", {17}, 0, "admin", "123456789012345678901",
       lan::OpenResult::kRefusedCredentials, 0},
  };
  for (const Case& c : cases) {
    TestBmc bmc;
    bmc.suites = c.offered;
    lan::Session s{bmc, crypto};
    EXPECT_EQ(c.result, s.open(c.user, c.password, c.pinned)) << c.name;
    EXPECT_EQ(c.result == lan::OpenResult::kOpened, s.active()) << c.name;
    EXPECT_EQ(c.suite, bmc.chosenSuite) << c.name;
  }
}

TEST_F(LanSessionTest, NoRmcpPlusOrNoAnswerOpensNothing) {
  bmc.rmcpPlus = false;
  EXPECT_EQ(lan::OpenResult::kNoSuite, session.open("admin", "secret", 0));
  bmc.rmcpPlus = true;
  bmc.silent = true;
  EXPECT_EQ(lan::OpenResult::kNoAnswer, session.open("admin", "secret", 0));
  EXPECT_FALSE(session.active());
}

TEST_F(LanSessionTest, UserWithoutAdministratorIsRefusedAndTheSessionClosed) {
  bmc.administrator = false;
  EXPECT_EQ(lan::OpenResult::kRefusedCredentials, session.open("admin", "secret", 0));
  EXPECT_FALSE(session.active());
  ASSERT_EQ(2u, bmc.sessionRequests.size());
  EXPECT_EQ(0x3C, bmc.sessionRequests[1][5]);
}

TEST_F(LanSessionTest, RequestGoesAsOverKcsAndTheReplyComesBack) {
  openWell();
  Bytes reply;
  EXPECT_EQ(0, ask(0xF8, 0x20, {0x01, 0x02, 0x03}, &reply));
  EXPECT_EQ((Bytes{0x01, 0x02, 0x03}), reply);
  ASSERT_EQ(2u, bmc.sessionRequests.size());
  // First the session's privilege raised to Administrator.
  EXPECT_EQ((Bytes{0x20, 0x18, 0xC8, 0x81, 0x04, 0x3B, 0x04}),
            Bytes(bmc.sessionRequests[0].begin(), bmc.sessionRequests[0].end() - 1));
  const Bytes& m = bmc.sessionRequests[1];
  EXPECT_EQ((Bytes{0x20, 0xF8}), Bytes(m.begin(), m.begin() + 2));
  EXPECT_EQ(0x20, m[5]);
}

// A reply that fails a check is dropped: for a question the request goes
// again and the true answer is taken; nothing false is ever delivered.
TEST_F(LanSessionTest, FailingPacketsAreDroppedNeverTaken) {
  struct Case {
    const char* name;
    bool TestBmc::*fault;
  };
  const Case cases[] = {
      {"bad integrity", &TestBmc::corruptNext},
      {"replayed", &TestBmc::replayNext},
      {"other session", &TestBmc::wrongSessionNext},
      {"not encrypted", &TestBmc::plainNext},
  };
  for (const Case& c : cases) {
    TestBmc bmc;
    lan::Session s{bmc, crypto};
    ASSERT_EQ(lan::OpenResult::kOpened, s.open("admin", "secret", 0));
    uint8_t response[16];
    int32_t length = 0;
    // rqSeq has six bits: after 64 requests the next one has an old rqSeq.
    for (int i = 0; i < 64; ++i) {
      ASSERT_EQ(0, s.exchange(0xF8, 0x17, nullptr, 0, response, sizeof response, &length));
    }
    bmc.*c.fault = true;
    EXPECT_EQ(0, s.exchange(0xF8, 0x17, nullptr, 0, response, sizeof response, &length)) << c.name;
    EXPECT_EQ(67u, bmc.sessionRequests.size()) << c.name;  // the question went twice
    bmc.*c.fault = true;
    EXPECT_EQ(-1, s.exchange(0xF8, 0x15, nullptr, 0, response, sizeof response, &length)) << c.name;
    EXPECT_EQ(68u, bmc.sessionRequests.size()) << c.name;  // a chunk goes once
  }
}

TEST_F(LanSessionTest, OnlyQuestionsAreSentAgain) {
  struct Case {
    uint8_t netFnLun;
    uint8_t command;
    bool again;
  };
  const Case cases[] = {
      {0x18, 0x01, true},  {0xF8, 0x17, true},  {0xF8, 0x1E, true},  {0xF8, 0x14, false},
      {0xF8, 0x15, false}, {0xF8, 0x20, false}, {0xF8, 0x1F, false}, {0x18, 0x02, false},
  };
  for (const Case& c : cases) {
    TestBmc bmc;
    lan::Session s{bmc, crypto};
    ASSERT_EQ(lan::OpenResult::kOpened, s.open("admin", "secret", 0));
    bmc.dropReplies = 1;
    uint8_t response[16];
    int32_t length = 0;
    const int code = s.exchange(c.netFnLun, c.command, nullptr, 0, response, sizeof response, &length);
    EXPECT_EQ(c.again ? 0 : -1, code) << int(c.command);
    EXPECT_EQ(c.again ? 3u : 2u, bmc.sessionRequests.size()) << int(c.command);
    EXPECT_EQ(c.again, lan::repeatableRequest(c.netFnLun, c.command));
  }
}

TEST_F(LanSessionTest, FarewellForASignalIsACloseSessionAheadOfTheRequests) {
  openWell();
  ASSERT_EQ(0, ask(0x18, 0x01, {}));
  size_t length = 0;
  const uint8_t* farewell = session.farewell(&length);
  ASSERT_NE(nullptr, farewell);
  ASSERT_EQ(0, ask(0xF8, 0x17, {}));  // a request after it keeps it valid
  bmc.send(farewell, length);
  ASSERT_EQ(4u, bmc.sessionRequests.size());
  const Bytes& m = bmc.sessionRequests[3];
  EXPECT_EQ(0x3C, m[5]);
  EXPECT_EQ((Bytes{0x44, 0x33, 0x22, 0x11}), Bytes(m.begin() + 6, m.begin() + 10));
}

TEST_F(LanSessionTest, CloseTellsTheBmcAndFarewellIsReady) {
  openWell();
  size_t length = 0;
  ASSERT_NE(nullptr, session.farewell(&length));
  session.close();
  EXPECT_FALSE(session.active());
  EXPECT_EQ(nullptr, session.farewell(&length));
  ASSERT_EQ(2u, bmc.sessionRequests.size());
  const Bytes& m = bmc.sessionRequests[1];
  EXPECT_EQ(0x3C, m[5]);
  EXPECT_EQ((Bytes{0x44, 0x33, 0x22, 0x11}), Bytes(m.begin() + 6, m.begin() + 10));
  EXPECT_EQ(-1, ask(0x18, 0x01, {}));
}

TEST(LanSequenceWindow, ReplaysAndStrangersAreNotFresh) {
  lan::SequenceWindow window;
  EXPECT_FALSE(window.fresh(0));
  for (uint32_t taken : {5u, 6u, 8u}) {
    ASSERT_TRUE(window.fresh(taken));
    window.take(taken);
  }
  struct Case {
    uint32_t sequence;
    bool fresh;
  };
  const Case cases[] = {{5, false}, {6, false}, {8, false}, {7, true}, {9, true},
                        {40, true}, {41, false}, {1, true}, {0, false}};
  for (const Case& c : cases) EXPECT_EQ(c.fresh, window.fresh(c.sequence)) << c.sequence;
  window.take(30);
  EXPECT_FALSE(window.fresh(8));  // now behind the window
}

}  // namespace
