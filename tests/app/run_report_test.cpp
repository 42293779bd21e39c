// The run report's content beyond the outcome class (which the unattended
// tests check for every class) and the BMC identity of --bmc-info.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/cli_support.h"
#include "app/json_text.h"
#include "app/long_options.h"
#include "app/run_lifecycle.h"
#include "sim/bmc.h"
#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "support/reply_rewriter.h"
#include "support/report_reader.h"

namespace flowtest {
namespace {

bool appendTo(void* context, const char* bytes, size_t length) {
  static_cast<std::string*>(context)->append(bytes, length);
  return true;
}

TEST(JsonText, StringsAreEscapedAndAlwaysValidUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "\"plain\""},
      {"say \"hi\" \\ now", "\"say \\\"hi\\\" \\\\ now\""},
      {"a\nb\rc\td\x01\x1f", "\"a\\nb\\rc\\td\\u0001\\u001f\""},
      {"caf\xC3\xA9 \xE2\x80\x9C \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x80\x9C \xF0\x9F\x98\x80\""},
      {"bad \xFF\xC3 end", "\"bad \\ufffd\\ufffd end\""},
      {"cut \xE2\x80", "\"cut \\ufffd\\ufffd\""},
      {"surrogate \xED\xA0\x80", "\"surrogate \\ufffd\\ufffd\\ufffd\""},
      {std::string("nul\0in", 6), "\"nul\\u0000in\""},
      {std::string(300, 'x'), "\"" + std::string(300, 'x') + "\""},  // past the buffer
  };
  for (const auto& c : cases) {
    std::string text;
    json::Writer out = json::makeWriter(appendTo, &text);
    json::string(out, c.in.data(), c.in.size());
    EXPECT_TRUE(json::finish(out));
    EXPECT_EQ(text, c.out);
  }
}

TEST(RunReportOptions, ParsedAndFoundBeforeParsing) {
  const struct {
    std::vector<std::string> args;
    bool parses;
    std::string reportFile;  // as parsed; "" none
    bool bmcInfo;
    const char* found;       // by the scan before parsing
  } cases[] = {
      {{"v", "--report", "r.json", "--bmc-info"}, true, "r.json", true, "r.json"},
      {{"v", "--report=r.json"}, true, "r.json", false, "r.json"},
      {{"v", "--report"}, false, "", false, nullptr},
      {{"v", "--report="}, false, "", false, nullptr},
      {{"v", "--bmc-info=1"}, false, "", false, nullptr},
      {{"v", "--bogus", "--report", "a", "--report=b"}, false, "", false, "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    sim::Rig rig;
    std::vector<std::string> args = c.args;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    const char* found = findReportFile(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(found == nullptr ? "" : found, std::string(c.found == nullptr ? "" : c.found));
    EXPECT_EQ(parseOnly(args), c.parses);
    const char* parsed = toolContext.runOptions.reportFile;
    EXPECT_EQ(parsed == nullptr ? "" : parsed, c.reportFile);
    EXPECT_EQ(toolContext.runOptions.bmcInfo, c.bmcInfo);
  }
}

class RunReportTest : public FlowTest {
 public:
  Bytes image = makeImage(0xA000, 0, tableText({{0x8000, 100, "a.bin"}}));
  std::string members(const std::vector<std::string>& names) {
    return reportMembers("report.json", names);
  }
};

TEST_F(RunReportTest, BmcInfoPrintsTheIdentityAndSendsNothingElse) {
  rig.app.knobs.firmware = {7, 0x12};
  rig.app.knobs.manufacturerId = 0xABCDE;
  rig.app.knobs.productId = 0x1234;
  run({"--bmc-info", "--status", "--report", "report.json"});
  EXPECT_EQ(console,
            "BMC device ID: 0x20, device revision 1\n"
            "BMC firmware revision: 7.12\n"
            "available: yes\n"
            "IPMI version: 2.0\n"
            "Manufacturer ID: 703710 (0xabcde), product ID: 4660 (0x1234)\n");
  EXPECT_EQ(bmc.received, (std::vector<Bytes>{{0x18, 0x01}}));
  EXPECT_EQ(members({"job", "bmc", "bmc_available", "firmware_before", "file", "bytes_sent",
                     "bytes_received", "transport"}),
            "\"bmc-info\"\n"
            "{\"device_id\": 32, \"device_revision\": 1, \"firmware_revision\": \"7.12\", "
            "\"ipmi_version\": \"2.0\", \"manufacturer_id\": 703710, \"product_id\": 4660}\n"
            "true\n\"7.12\"\nnull\n2\n12\n\"kcs-0ca3-0ca2\"");
}

// A BMC busy with an update or its initialisation still has an identity:
// the revision is the other seven bits, and the bit is said and reported.
TEST_F(RunReportTest, BmcInfoSaysWhenTheBmcIsBusy) {
  rig.app.knobs.firmware = {7, 0x12};
  simtest::ReplyRewriter busy(bmc, simtest::busyDeviceId(0, 1, false));
  rig.kcs.setEndpoint(&busy);
  run({"--bmc-info", "--status", "--report", "report.json"});
  rig.kcs.setEndpoint(&bmc);
  EXPECT_NE(console.find("BMC firmware revision: 7.12\n"
                         "available: no (update or initialisation in progress)\n"
                         "IPMI version: 2.0\n"),
            std::string::npos);
  EXPECT_EQ(endRunRecord(), 0);
  EXPECT_EQ(members({"bmc_available", "firmware_before"}), "false\n\"7.12\"");
}

struct BmcInfoFailure {
  const char* name;
  std::vector<std::string> extra;
  std::function<void(sim::Bmc&)> arrange;
  std::string console;
  int status;
};

const BmcInfoFailure kBmcInfoFailures[] = {
    {"silent", {}, [](sim::Bmc& b) { b.faults.silentAll = true; },
     kTransportError + "ERROR: THE BMC DID NOT ANSWER GET DEVICE ID\n", 3},
    {"completion code", {},
     [](sim::Bmc& b) { b.faults.completionCode[sim::commandKey(0x18, 0x01)] = 0xC1; },
     "ERROR: GET DEVICE ID FAILED, COMPLETION CODE 0xc1\n", 4},
    {"short reply", {},
     [](sim::Bmc& b) {
       b.setHandler(0x18, 0x01, [](const sim::Request&) {
         return std::optional<sim::Reply>(sim::Reply{0, {0x20, 0x01, 0x07}});
       });
     },
     "ERROR: THE GET DEVICE ID REPLY IS TOO SHORT (3 BYTES)\n", 4},
};

TEST_F(RunReportTest, BmcInfoWithoutAnIdentityGivesItsClass) {
  for (const BmcInfoFailure& c : kBmcInfoFailures) {
    SCOPED_TRACE(c.name);
    reset();
    bmc.faults = sim::Bmc::Faults{};
    c.arrange(bmc);
    run({"--bmc-info", "--status", "--report", "report.json"});
    EXPECT_EQ(console, c.console);
    EXPECT_EQ(endRunRecord(), c.status);
    EXPECT_EQ(members({"bmc", "bmc_available", "firmware_before"}), "null\nnull\nnull");
  }
}

TEST_F(RunReportTest, BmcInfoBesideAModeIsABadCommandLine) {
  run({"--bmc-info", "-d", "dump.bin", "--status"});
  EXPECT_NE(console.find("ERROR:PLEASE USE --bmc-info WITHOUT -f, -d OR -c\n"), std::string::npos);
  EXPECT_EQ(endRunRecord(), 1);
  EXPECT_TRUE(bmc.received.empty());
}

struct ErrorCase {
  const char* name;
  std::vector<std::string> args;
  std::function<void(RunReportTest&)> arrange;
  std::string errors;
  std::string file;
};

const ErrorCase kErrorCases[] = {
    {"rejected package says why", {"-f", "fw.bin"},
     [](RunReportTest& t) { t.firmware.knobs.reject = sim::FirmwareBmc::Rejection{0, 1}; },
     "[\"Error!\", \"Update package verification failed!\"]",
     "{\"name\": \"fw.bin\", \"size\": 40960}"},
    {"dump not placed has no size", {"-d", "dump.bin"},
     [](RunReportTest& t) {
       t.firmware.flash = Bytes(5000, 1);
       t.bmc.faults.silent[sim::commandKey(0xF8, 0x1F)] = true;
     },
     "[\"ERROR !! BMC did not in correct state\", \"ERROR !! BMC did not in correct state\", "
     "\"ERROR !! BMC did not in correct state\", \"ERROR !! BMC did not in correct state\", "
     "\"ERROR !! BMC did not in correct state\", \"ERROR: RECEIVE FLASH DATA FAILED\"]",
     "{\"name\": \"dump.bin\", \"size\": null}"},
    {"a warning and what it says", {"-f", "fw.bin"},
     [](RunReportTest& t) { t.firmware.knobs.infoCompletionCode = 0xDF; },
     "[\"\\u201cWarning!\", \"Another user is updating!\"]",
     "{\"name\": \"fw.bin\", \"size\": 40960}"},
    {"dump placed", {"-d", "dump.bin"}, [](RunReportTest& t) { t.firmware.flash = Bytes(5000, 1); },
     "[]", "{\"name\": \"dump.bin\", \"size\": 5000}"},
};

TEST_F(RunReportTest, ErrorLinesAndTheJobsFile) {
  for (const ErrorCase& c : kErrorCases) {
    SCOPED_TRACE(c.name);
    reset();
    bmc.faults = sim::Bmc::Faults{};
    writeFile("fw.bin", image);
    c.arrange(*this);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--report=report.json"});
    run(args);
    EXPECT_EQ(members({"errors", "file"}), c.errors + "\n" + c.file);
  }
}

// A BMC silent for ten minutes of progress polls gives a line per poll; the
// report keeps how it began and how it ended, the power warning included.
TEST_F(RunReportTest, ManyErrorLinesKeepTheFirstAndTheLast) {
  writeFile("fw.bin", image);
  bmc.faults.silent[sim::commandKey(0xF8, 0x17)] = true;
  run({"-f", "fw.bin", "--report", "report.json"});
  const std::string transport = "\"ERROR !! BMC did not in correct state\", ";
  std::string first;
  for (int line = 0; line < 8; ++line) first += transport;
  std::string last;
  for (int line = 0; line < 6; ++line) last += transport;
  EXPECT_EQ(members({"errors", "outcome"}),
            "[" + first + "\"(41 more such lines left out)\", " + last +
                "\"ERROR: THE BMC STOPPED REPORTING PROGRESS, NONE FOR 600 SECONDS\", "
                "\"WARNING: DO NOT REMOVE THE POWER: THE BMC MAY STILL BE PROGRAMMING ITS FLASH; "
                "CHECK IT LATER WITH velkoran --bmc-info\"]\n"
                "{\"class\": 8, \"name\": \"unsettled\"}");
}

TEST_F(RunReportTest, AnyArgumentBytesGiveAValidDocument) {
  std::string odd;
  for (int byte = 1; byte < 256; ++byte) odd += static_cast<char>(byte);
  run({"-f", odd, "--report", "report.json"});
  // As json.dumps writes the decoded text: every malformed byte one U+FFFD.
  std::string expected = "[\"-f\", \"";
  for (int byte = 1; byte < 256; ++byte) {
    const char* named[] = {"\\b", "\\t", "\\n", nullptr, "\\f", "\\r"};
    char escape[8];
    if (byte >= 8 && byte <= 13 && named[byte - 8] != nullptr) {
      expected += named[byte - 8];
    } else if (byte == '"' || byte == '\\') {
      expected += std::string("\\") + static_cast<char>(byte);
    } else if (byte < 0x20 || byte >= 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", byte < 0x80 ? byte : 0xFFFD);
      expected += escape;
    } else {
      expected += static_cast<char>(byte);
    }
  }
  EXPECT_EQ(members({"arguments"}), expected + "\", \"--report\", \"report.json\"]");
}

TEST_F(RunReportTest, NeverWrittenOverAnotherFileOfTheRun) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-f", "fw.bin", "--status", "--report", "fw.bin"},
        std::vector<std::string>{"-f", "fw.bin", "--status", "--bogus", "--report", "fw.bin"},
        std::vector<std::string>{"-d", "d.bin", "--status", "--log", "r", "--report=r"},
        // The report's temporary name is one of the run's files.
        std::vector<std::string>{"-d", "d.bin", "--status", "--log", "r.partial", "--report=r"}}) {
    SCOPED_TRACE(args[4]);
    writeFile("fw.bin", image);
    run(args);
    EXPECT_EQ(endRunRecord(), 1);
    EXPECT_EQ(readFile("fw.bin"), image);
    EXPECT_TRUE(bmc.received.empty());
  }
  EXPECT_NE(console.find("ERROR:PLEASE GIVE --report A FILE OF ITS OWN\n"), std::string::npos);
}

TEST_F(RunReportTest, AReportThatCannotBeWrittenIsSaidAndTheRunKeepsItsClass) {
  writeFile("fw.bin", image);
  run({"-f", "fw.bin", "--status", "--report", "no-dir/report.json"});
  EXPECT_NE(console.find("WARNING: THE REPORT FILE no-dir/report.json CANNOT BE WRITTEN\n"),
            std::string::npos);
  EXPECT_EQ(endRunRecord(), 0);
  EXPECT_TRUE(firmware.updateComplete());
}

}  // namespace
}  // namespace flowtest
