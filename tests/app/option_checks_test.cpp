// The one step from a command line to its job: each combination of options
// yields the job it asks for, or a refusal whose first line names the first
// check it fails, without a request to the BMC or a file made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli_support.h"
#include "app/option_checks.h"
#include "app/run_lifecycle.h"

namespace {

struct JobCase {
  std::vector<std::string> args;  // after the program's name
  Job job;
  const char* line;  // the refusal's line, right after the banner (or first)
};

const char kLanHost[] = "ERROR:PLEASE ENTER THE HOST IP ADDRESS\n\n";
const char kBmcInfoAlone[] = "ERROR:PLEASE USE --bmc-info WITHOUT -f, -d OR -c\n\n";
const char kWaitNeedsUpdate[] = "ERROR:PLEASE USE --wait-bmc ONLY WITH -f FILE, NOT WITH -c OR -d\n\n";

const JobCase kJobs[] = {
    {{}, Job::kRefused, ""},
    {{"-c", "-r", "n"}, Job::kRefused, ""},
    {{"--help", "-z"}, Job::kInformation, ""},
    {{"-f", "fw.bin", "--version"}, Job::kInformation, ""},
    {{"-z", "--help"}, Job::kRefused, "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-z\n\n"},
    {{"--bmc-info"}, Job::kBmcInfo, ""},
    {{"--bmc-info", "-i", "kcs"}, Job::kBmcInfo, ""},
    {{"--bmc-info", "-c"}, Job::kRefused, kBmcInfoAlone},
    // --bmc-info: alone first, then the options around it, then -i lan.
    {{"--bmc-info", "-d", "x", "--wait-bmc", "-i", "lan"}, Job::kRefused, kBmcInfoAlone},
    {{"--bmc-info", "--wait-bmc", "-i", "lan"}, Job::kRefused, kWaitNeedsUpdate},
    {{"--bmc-info", "-i", "lan"}, Job::kRefused, kLanHost},
    {{"-f", "fw.bin"}, Job::kUpdate, ""},
    {{"-f", "fw.bin", "-i", "kcs", "--wait-bmc"}, Job::kUpdate, ""},
    {{"-f", "fw.bin", "-i", "usb"}, Job::kUsbUpdate, ""},
    {{"-d", "dump.bin"}, Job::kDump, ""},
    {{"-d", "dump.bin", "-f", "fw.bin", "-i", "usb"}, Job::kDump, ""},
    {{"-d", "dump.bin", "--verify", "fw.bin"}, Job::kDump, ""},
    {{"-c", "-f", "cfg.bin"}, Job::kConfig, ""},
    {{"-c", "-d", "cfg.bin", "-i", "usb"}, Job::kConfig, ""},
    {{"-c", "-d", "cfg.bin", "--verify", "fw.bin"}, Job::kRefused,
     "ERROR:PLEASE USE --verify WITH -d FILE\n\n"},
    // A job: -i lan first, then the options around it.
    {{"-d", "dump.bin", "--wait-bmc", "-i", "lan"}, Job::kRefused, kLanHost},
    {{"-d", "dump.bin", "--wait-bmc"}, Job::kRefused, kWaitNeedsUpdate},
};

TEST(OptionChecks, EachCombinationYieldsItsJob) {
  for (const JobCase& c : kJobs) {
    std::vector<std::string> args = {"Velkoran.efi"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string trace;
    for (const std::string& arg : args) trace += arg + " ";
    SCOPED_TRACE(trace);
    sim::Rig rig;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());
    beginRunRecord(argc, argv.data());
    EXPECT_EQ(chooseJob(argc, argv.data()), c.job);
    const std::string console = rig.takeConsole();
    if (c.job == Job::kRefused) {
      const std::string line = c.line;
      EXPECT_TRUE(console == kBanner + line || console == line + kBanner) << console;
    } else {
      EXPECT_EQ(console, "");  // the job's banner and echo are run control's
    }
    EXPECT_TRUE(rig.bmc.received.empty());
    EXPECT_FALSE(rig.fileExists("dump.bin") || rig.fileExists("cfg.bin"));
    endRunRecord();
  }
}

}  // namespace
