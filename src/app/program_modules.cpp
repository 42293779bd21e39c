// The modules this program is built with, put into the tool state by run
// control (the state itself knows no subsystem above it).
#include "app/run.h"

#include "config/config.h"

void installProgramModules() {
  toolContext.configModules[0] = kConfigModule;
  toolContext.configModules[1] = kEmptyConfigModule;
}

void resetToolContext() {
  clearToolContext();
  installProgramModules();
}
