#include "state/tool_context.h"

#include "config/config.h"

namespace {

constexpr ToolContext kInitialToolContext = {
    .firmwareFile = nullptr,
    .dumpFile = nullptr,
    .password = {},
    .userName = {},
    .port = {},
    .host = {},
    .interfaceName = {},
    .preserveConfig = kPreserveNotGiven,
    .configMode = false,
    .transport = {},
    .commandPort = 0,
    .dataPort = 0,
    .statusPort = 0,
    .dumpLength = 0,
    .regions = {},
    .regionCount = 0,
    .regionListRefused = false,
    .imageKind = 0,
    .pageBuffer = nullptr,
    .configModules = {kConfigModule, kEmptyConfigModule},
    .configTask = {},
    .runOptions = {},
    .runRecord = {.outcome = RunOutcome::kUnset,
                  .coldResetSent = false,
                  .interrupted = false,
                  .exitStatusByDefault = false,
                  .finish = nullptr},
};

}  // namespace

constinit ToolContext toolContext = kInitialToolContext;

void resetToolContext() { toolContext = kInitialToolContext; }
