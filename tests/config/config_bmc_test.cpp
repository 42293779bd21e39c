// The simulated BMC's side of the configuration task, request by request:
// what it answers and what it refuses as a protocol violation.
#include <gtest/gtest.h>

#include <vector>

#include "sim/config_bmc.h"

namespace {

using sim::Bytes;

struct Step {
  Bytes request;
  Bytes reply;  // completion code first
};

struct BmcCase {
  const char* name;
  std::vector<Step> steps;
  Bytes storeAfter;
  size_t violations;
};

Bytes answer(sim::ConfigBmc& config, const Bytes& request) {
  const std::optional<sim::Reply> reply = config.handle(sim::Request{0xF8, 0x20, request});
  if (!reply) return {};
  Bytes flat{reply->completionCode};
  flat.insert(flat.end(), reply->data.begin(), reply->data.end());
  return flat;
}

const Bytes kStored{1, 2, 3};

std::vector<BmcCase> cases() {
  const Step reset{{0x06}, {0x00, 0x00}};
  const Step openRestore{{0x01, 0x02, 0, 0, 0}, {0x00, 0x32}};
  const Step start{{0x32}, {0x00, 0x34, 0x10, 0, 0, 0x02, 0, 0, 0}};
  return {
      {"restore kept once complete",
       {reset, openRestore, start,
        {{0x33, 0x10, 0, 0, 0xAA}, {0x00, 0x34, 0x11, 0, 0}},
        {{0x33, 0x11, 0, 0, 0xBB}, {0x00, 0x34, 0x12, 0, 0}}},
       {0xAA, 0xBB}, 0},
      {"abort drops a partial restore",
       {reset, openRestore, start, {{0x33, 0x10, 0, 0, 0xAA}, {0x00, 0x34, 0x11, 0, 0}},
        {{0x33}, {0x00, 0x00}}},
       kStored, 0},
      {"block out of sequence fails the task",
       {reset, openRestore, start, {{0x33, 0x11, 0, 0, 0xAA}, {0x00, 0x3A, 0x11, 0, 0}}},
       kStored, 1},
      {"block for another task",
       {reset, openRestore, start, {{0x43, 0x10, 0, 0, 0xAA}, {0x00, 0x3A, 0, 0, 0}}}, kStored,
       1},
      {"start without an open task", {reset, {{0x02}, {0x00, 0x0A, 0, 0, 0}}}, kStored, 1},
      {"backup serves the store",
       {reset, {{0x00}, {0x00, 0x32}}, {{0x32}, {0x00, 0x34, 0x10, 0, 0, 0x03, 0, 0, 0}},
        {{0x33, 0x10, 0, 0}, {0x00, 0x38, 0x11, 0, 0, 1, 2, 3}}},
       kStored, 0},
      {"unknown operation", {{{0x07}, {0xCC}}}, kStored, 1},
  };
}

TEST(ConfigBmc, AnswersAndViolations) {
  for (const BmcCase& scenario : cases()) {
    sim::Bmc bmc;
    sim::ConfigBmc config(bmc);
    config.store = kStored;
    for (const Step& step : scenario.steps) {
      EXPECT_EQ(answer(config, step.request), step.reply) << scenario.name;
    }
    EXPECT_EQ(config.store, scenario.storeAfter) << scenario.name;
    EXPECT_EQ(config.violations.size(), scenario.violations) << scenario.name;
  }
}

}  // namespace
