// The configuration driver: chooses the direction and the module, opens the
// file, has run control open the transport, runs the module's steps and
// says how the task ended.
#include "state/tool_context.h"
#include "config/config.h"
#include "config/config_protocol.h"
#include "platform/platform.h"
#include "platform/staged_file.h"

using namespace configproto;

namespace {

// The open restore request announces the size in 32 bits.
constexpr int64_t kMaxRestoreLength = 0xFFFFFFFF;

int endTask(bool succeeded) {
  if (succeeded) {
    noteOutcome(RunOutcome::kSuccess);
  } else if (toolContext.runRecord.outcome == RunOutcome::kUnset) {
    noteOutcome(RunOutcome::kRefused);
  }
  if (!succeeded) {
    platform::print("Operation Failed.\n");
  } else if (toolContext.configTask.direction == kDirectionBackup) {
    platform::print("Done.\n");
  } else {
    platform::print("Done. Please wait at least 1 minute to restore configurations.\n");
  }
  platform::flush();
  return succeeded ? 0 : -1;
}

const ConfigModule* selectModule() {
  for (const ConfigModule& module : toolContext.configModules) {
    if (module.name != nullptr && module.enabled == 1) return &module;
  }
  return nullptr;
}

// A backup is written under a temporary name until it is complete.
platform::File* openTaskFile(const char* fileName, platform::StagedFile* backup) {
  if (toolContext.configTask.direction == kDirectionBackup) {
    platform::print("=== IPMI Configuration Backup Mode ===\n");
    return platform::stagedOpen(backup, fileName, "wb");
  }
  platform::print("=== IPMI Configuration Restore Mode ===\n");
  return platform::fileOpen(fileName, "rb");
}

// Restore only: the file size becomes the task's total length.
bool measureRestoreFile(ConfigTask& task) {
  int64_t size = -1;
  if (platform::fileSeekEnd(task.file) == 0) size = platform::fileTell(task.file);
  platform::fileSeek(task.file, 0);
  if (size < 0 || size > kMaxRestoreLength) noteOutcome(RunOutcome::kFileProblem);
  if (size < 0) {
    platform::print("Can't get file size for restore mode.\n");
    return false;
  }
  if (size > kMaxRestoreLength) {
    platform::print("ERROR: RESTORE FILE TOO LARGE\n\n");
    return false;
  }
  task.totalLength = size;
  return true;
}

// prepare, transferBlocks and (restore) postRestore; a failed step marks the
// task failed so that finish aborts it on the BMC.
bool runModuleSteps(ConfigTask& task) {
  const ConfigModule& module = *task.module;
  bool succeeded = module.prepare() == 0;
  if (succeeded) {
    succeeded = module.transferBlocks() == 0;
    if (succeeded && task.direction == kDirectionRestore) succeeded = module.postRestore() == 0;
  }
  if (!succeeded) task.taskState = TASK_FAIL_STATE;
  module.finish();
  return succeeded;
}

// Closes the task's file; a backup that succeeded takes its target's place,
// one that failed stays under its temporary name. False when that failed.
bool closeTaskFile(ConfigTask& task, platform::StagedFile* backup, bool succeeded) {
  if (task.direction == kDirectionRestore) {
    platform::fileClose(task.file);
    return true;
  }
  if (!succeeded) {
    // A BMC that never answered sent nothing: an empty file would only mislead.
    if (toolContext.runRecord.outcome == RunOutcome::kNoAnswer && platform::fileTell(task.file) == 0) {
      platform::stagedDiscard(backup);
    } else {
      platform::stagedAbandon(backup);
    }
    return true;
  }
  switch (platform::stagedCommit(backup)) {
    case platform::StagedEnd::closeFailed:
      noteOutcome(RunOutcome::kFileProblem);
      platform::print("ERROR: CLOSE BACKUP FILE FAILED\n\n");
      return false;
    case platform::StagedEnd::replaceFailed:
      noteOutcome(RunOutcome::kFileProblem);
      platform::print("ERROR: RENAME BACKUP FILE FAILED\n\n");
      return false;
    case platform::StagedEnd::placed:
      break;
  }
  return true;
}

}  // namespace

int runConfigDriver(bool (*reachBmc)()) {
  ConfigTask& task = toolContext.configTask;
  const bool restore = toolContext.firmwareFile != nullptr;
  task.direction = restore ? kDirectionRestore : kDirectionBackup;
  const char* fileName = restore ? toolContext.firmwareFile : toolContext.dumpFile;

  task.module = selectModule();
  if (task.module == nullptr) {
    platform::print("unknown file type!!!\n");
    return endTask(false);
  }
  platform::StagedFile backup;
  task.file = openTaskFile(fileName, &backup);
  if (task.file == nullptr) {
    noteOutcome(RunOutcome::kFileProblem);
    platform::print("ERROR: OPEN FILE FAILED\n\n");
    return endTask(false);
  }
  if (restore && !measureRestoreFile(task)) {
    platform::fileClose(task.file);
    return endTask(false);
  }
  if (!reachBmc()) {
    // Nothing was received: an empty temporary file would only mislead.
    if (task.direction == kDirectionBackup) {
      platform::stagedDiscard(&backup);
    } else {
      platform::fileClose(task.file);
    }
    return endTask(false);
  }

  bool succeeded = runModuleSteps(task);
  // Closing writes out the buffered tail of a backup.
  succeeded = closeTaskFile(task, &backup, succeeded) && succeeded;
  return endTask(succeeded);
}
