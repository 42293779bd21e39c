// The firmware transfer modes.
#pragma once

int runFirmwareUpdate();
int runFirmwareDump();
int runUsbFirmwareUpdate();
