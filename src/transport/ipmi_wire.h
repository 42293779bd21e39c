// The IPMI messages this program exchanges with the BMC: network functions
// with their LUN, command numbers and completion codes. The one place these
// bytes are written down; the product, the simulated BMC, the fuzzers and
// the tests all take them from here.
#pragma once

#include <cstdint>

// Network function (upper six bits) and LUN 0 as one request byte.
constexpr uint8_t kNetFnLunApp = 0x18;  // network function 0x06, application
constexpr uint8_t kNetFnLunOem = 0xF8;  // network function 0x3E, OEM

// Standard application commands: the ones this program sends, and the
// ones every BMC on a system interface answers.
constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint8_t kCmdColdReset = 0x02;
constexpr uint8_t kCmdWarmReset = 0x03;
constexpr uint8_t kCmdGetSelfTestResults = 0x04;
constexpr uint8_t kCmdGetDeviceGuid = 0x08;
constexpr uint8_t kCmdResetWatchdog = 0x22;
constexpr uint8_t kCmdSetWatchdog = 0x24;
constexpr uint8_t kCmdGetWatchdog = 0x25;
constexpr uint8_t kCmdSetGlobalEnables = 0x2E;
constexpr uint8_t kCmdGetGlobalEnables = 0x2F;
constexpr uint8_t kCmdClearMessageFlags = 0x30;
constexpr uint8_t kCmdGetMessageFlags = 0x31;
constexpr uint8_t kCmdGetMessage = 0x33;
constexpr uint8_t kCmdSendMessage = 0x34;
constexpr uint8_t kCmdReadEventBuffer = 0x35;
// The session commands of IPMI over LAN.
constexpr uint8_t kCmdGetChannelAuthCapabilities = 0x38;
constexpr uint8_t kCmdSetSessionPrivilegeLevel = 0x3B;
constexpr uint8_t kCmdCloseSession = 0x3C;

// OEM commands of the firmware update and the dump.
constexpr uint8_t kCmdGetUSBFWUpdateInfo = 0x0D;
constexpr uint8_t kCmdSendBlockInfo = 0x14;
constexpr uint8_t kCmdReceiveFWData = 0x15;
constexpr uint8_t kCmdGetFWUpdateInfo = 0x16;
constexpr uint8_t kCmdGetFWUpdateProgress = 0x17;
constexpr uint8_t kCmdPrepareDumpFlash = 0x1D;
constexpr uint8_t kCmdCheckDumpFlashComplete = 0x1E;
constexpr uint8_t kCmdGetDumpFlashData = 0x1F;

// OEM command carrying the configuration task protocol.
constexpr uint8_t kCmdConfigTask = 0x20;

// Completion codes.
constexpr uint8_t kCodeSuccess = 0x00;
constexpr uint8_t kCodeNodeBusy = 0xC0;        // not processed; may be sent again
constexpr uint8_t kCodeInvalidCommand = 0xC1;  // the BMC does not have the command
constexpr uint8_t kCodeTimeout = 0xC3;         // the interface timed out for the BMC
constexpr uint8_t kCodeInvalidLength = 0xC7;   // request data length invalid
constexpr uint8_t kCodeInvalidField = 0xCC;
constexpr uint8_t kCodePackageRejected = 0xCD;  // the update's image was not taken
constexpr uint8_t kCodeNoDevice = 0xD2;         // nothing answered behind the interface
constexpr uint8_t kCodeNotNow = 0xD5;           // not supported in the present state
constexpr uint8_t kCodeAnotherUserUpdating = 0xDF;
constexpr uint8_t kCodeUnspecified = 0xFF;  // also how a transport failure (-1) reads

// A result that means the BMC gave no answer: the transport failed (-1,
// which reads 0xFF) or the interface answered for it (timeout, nothing
// there). Takes a transfer's result or its completion code alike.
constexpr bool isNoAnswer(int result) {
  const int code = result & 0xFF;
  return code == kCodeUnspecified || code == kCodeTimeout || code == kCodeNoDevice;
}
