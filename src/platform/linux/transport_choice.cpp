#include "platform/linux/transport_choice.h"

#include <cstddef>

#include "platform/linux/device_transport.h"
#include "platform/linux/lan_transport.h"
#include "platform/linux/link_transport.h"
#include "platform/linux/port_transport.h"
#include "transport/request.h"

namespace linuxplatform {
namespace {

bool always() { return true; }

struct Way {
  bool (*requested)();
  TransportOps (*make)();  // only for the way taken: a way may cost to set up
};

constexpr Way kWays[] = {
    {lanRequested, lanTransport},
    {linkRequested, linkTransport},
    {always, deviceTransport},
    {always, portTransport},
};

struct Choice {
  bool made = false;
  TransportOps transport{};
};

Choice& choiceOf(void* self) { return *static_cast<Choice*>(self); }

// Calls step on each requested way in order until one gives other than 1
// (the way is not on this machine); that way becomes the choice when it
// gives 0. The result of the last step, or -1 when no way is left.
template <typename Step>
int walkWays(Choice& choice, Step step) {
  if (choice.made) return step(choice.transport);
  for (const Way& way : kWays) {
    if (!way.requested()) continue;
    const TransportOps transport = way.make();
    const int result = step(transport);
    if (result == 1) continue;
    if (result == 0) {
      choice.made = true;
      choice.transport = transport;
    }
    return result;
  }
  return -1;
}

int openChoice(void* self) {
  return walkWays(choiceOf(self), [](const TransportOps& way) { return way.open(); });
}

int exchangeChoice(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                   int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                   int32_t* responseLength) {
  const Choice& choice = choiceOf(self);
  if (!choice.made) return -1;
  return choice.transport.transfer(netFnLun, command, data, dataLength, response,
                                   responseCapacity, responseLength);
}

int closeChoice(void* self) {
  const Choice& choice = choiceOf(self);
  return choice.made ? choice.transport.close() : 0;
}

// Naming comes before opening (the lock is taken first): the same walk,
// without making the choice, which only open does.
int nameChoice(void* self, char* name, size_t capacity) {
  Choice probe = choiceOf(self);
  return walkWays(probe, [&](const TransportOps& way) { return way.nameBmc(name, capacity); });
}

constexpr TransportMethods kChoiceOps = {openChoice, exchangeChoice, closeChoice, nameChoice};

}  // namespace

TransportOps chosenTransport() {
  static Choice choice;
  // Every way carries the messages the flows plan.
  return TransportOps{&kChoiceOps, &choice, request::kMaxRequestData, request::kMaxResponseData};
}

}  // namespace linuxplatform
