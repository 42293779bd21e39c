#include "flows/upload_answer.h"

#include "flows/flow_wire.h"
#include "platform/platform.h"
#include "state/tool_context.h"
#include "transport/request.h"

namespace flows {
namespace {

// A busy BMC is given half a second in all before the upload gives up:
// five resends a tenth of a second apart.
constexpr request::RetryPolicy kBusyPolicy = {6, 100'000, 0, false, isNoAnswer,
                                              request::Notice::kNone};

}  // namespace

void formatCompletionCode(uint8_t code, char (&text)[5]) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  text[0] = '0';
  text[1] = 'x';
  text[2] = kDigits[code >> 4];
  text[3] = kDigits[code & 0x0F];
  text[4] = '\0';
}

uint8_t sendUploadRequest(uint8_t command, const uint8_t* data, int32_t dataLength,
                          uint8_t* response, int32_t* responseLength) {
  request::Retrying retry(kBusyPolicy);
  for (;;) {
    const uint8_t code = lowByte(sendOem(command, data, dataLength, response, responseLength));
    if (!retry.afterResult(code, code == kCodeNodeBusy)) return code;
    retry.pause();
  }
}

void reportUploadFailure(const char* commandName, uint8_t code) {
  noteOutcome(isNoAnswer(code) ? RunOutcome::kNoAnswer : RunOutcome::kRefused);
  if (code == 0xFF) {
    platform::print("ERROR:SEND \"%s\" COMMAND TO BMC FAILED\n", commandName);
    return;
  }
  char codeText[5];
  formatCompletionCode(code, codeText);
  if (isNoAnswer(code)) {
    platform::print("ERROR:THE BMC DID NOT ANSWER \"%s\" (COMPLETION CODE %s)\n", commandName,
                    codeText);
  } else {
    platform::print("ERROR:THE BMC REFUSED \"%s\" WITH COMPLETION CODE %s\n", commandName,
                    codeText);
  }
}

}  // namespace flows
