// What the log and the report say of a run that a signal stopped, and the
// lines they keep of what the console showed.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/run_log.h"
#include "app/run_report.h"
#include "platform/host/host.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "support/flow_fixture.h"
#include "support/report_reader.h"

namespace flowtest {
namespace {

TEST(ShownOutcome, ASignalGivesTheStatusTheShellSeesUnlessTheBmcMayBeWriting) {
  struct Case {
    int signal;
    RunOutcome outcome;
    unsigned number;
    const char* name;
  } cases[] = {
      {0, RunOutcome::kNoAnswer, 3, "no-answer"},
      {SIGTERM, RunOutcome::kNoAnswer, 143, "interrupted"},
      {SIGINT, RunOutcome::kSuccess, 130, "interrupted"},
      {SIGHUP, RunOutcome::kNotBack, 129, "interrupted"},
      {SIGTERM, RunOutcome::kUnsettled, 8, "unsettled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    hostplatform::requestStop(c.signal);
    const runreport::ShownOutcome shown = runreport::shownOutcome(c.outcome);
    EXPECT_EQ(shown.number, c.number);
    EXPECT_STREQ(shown.name, c.name);
  }
  hostplatform::requestStop(0);
}

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

class StoppedRunTest : public FlowTest {
 public:
  // The report of a run whose console showed text, ending with outcome.
  std::string reportOf(const std::vector<const char*>& texts, RunOutcome outcome,
                       const std::vector<std::string>& names) {
    char program[] = "velkoran";
    char* argv[] = {program};
    toolContext.runOptions = RunOptions{};
    toolContext.runOptions.reportFile = "report.json";
    runreport::begin(1, argv);
    runlog::begin(1, argv);
    for (const char* text : texts) platform::print("%s", text);
    runlog::end(outcome);
    runreport::end(outcome);
    return reportMembers("report.json", names);
  }
};

TEST_F(StoppedRunTest, TheReportNamesTheSignalAndTheColdReset) {
  hostplatform::requestStop(SIGTERM);
  toolContext.runRecord.coldResetSent = true;
  EXPECT_EQ(reportOf({}, RunOutcome::kNoAnswer, {"outcome", "signal"}),
            "{\"class\": 143, \"name\": \"interrupted\"}\n"
            "{\"cold_reset_sent\": true, \"name\": \"SIGTERM\", \"number\": 15}");
  hostplatform::requestStop(0);
}

TEST_F(StoppedRunTest, ErrorLinesStandAloneAndWhole) {
  std::string accented = "ERROR: CANNOT READ";  // 18 bytes, then two-byte characters
  while (accented.size() < 200) accented += "\xC3\xA9";
  struct Case {
    std::vector<const char*> texts;
    std::vector<std::string> errors;
  } cases[] = {
      // An error printed over a progress line that ended in a carriage return.
      {{"0xfff0 Bytes Transmit Progress :   21 %\r", "ERROR: WRITE BACKUP FILE FAILED\n\n"},
       {"ERROR: WRITE BACKUP FILE FAILED"}},
      {{"progress 1\rprogress 2\r", "Error!\n", "Why it failed\n"}, {"Error!", "Why it failed"}},
      // Cut at a whole character (158 bytes), never inside one (159).
      {{accented.c_str(), "\n"}, {"ERROR: CANNOT READ" + repeated("\\u00e9", 70)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errors[0].substr(0, 40));
    reset();
    std::string expected = "[";
    for (const std::string& line : c.errors) {
      expected += (expected.size() == 1 ? "\"" : ", \"") + line + "\"";
    }
    EXPECT_EQ(reportOf(c.texts, RunOutcome::kFileProblem, {"errors"}), expected + "]");
  }
}

}  // namespace
}  // namespace flowtest
