#include "state/tool_context.h"

namespace {

// No module installed: run control fills the module table with the
// program's own (it is the one that knows which subsystems are linked).
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
    .silence = {},
    .transferBoundSeconds = kKcsTransferBoundSeconds,
    .dumpLength = 0,
    .regions = {},
    .imageKind = 0,
    .pageBuffer = nullptr,
    .configModules = {},
    .configTask = {},
    .runOptions = {},
    .runRecord = {.outcome = RunOutcome::kUnset,
                  .stage = UpdateStage::kNone,
                  .coldResetSent = false,
                  .revisionBeforeKnown = false,
                  .revisionAfterKnown = false,
                  .identityKnown = false,
                  .revisionBefore = {},
                  .revisionAfter = {},
                  .identity = {},
                  .availabilityKnown = false,
                  .bmcAvailable = false,
                  .bytesSent = 0,
                  .bytesReceived = 0,
                  .transportName = {},
                  .exitStatusByDefault = false,
                  .finish = nullptr},
};

}  // namespace

constinit ToolContext toolContext = kInitialToolContext;

void clearToolContext() { toolContext = kInitialToolContext; }
