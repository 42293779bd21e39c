#include "sim/function_transport.h"

#include "transport/request.h"

namespace {

const TransportFunctions& functionsOf(void* self) {
  return *static_cast<const TransportFunctions*>(self);
}

int openFunctions(void* self) { return functionsOf(self).open(); }

int exchangeFunctions(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                      int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                      int32_t* responseLength) {
  return functionsOf(self).transfer(netFnLun, command, data, dataLength, response,
                                    responseCapacity, responseLength);
}

int closeFunctions(void* self) { return functionsOf(self).close(); }

constexpr TransportMethods kFunctionMethods = {openFunctions, exchangeFunctions, closeFunctions,
                                               nullptr};

}  // namespace

TransportOps functionTransport(const TransportFunctions* functions) {
  return TransportOps{&kFunctionMethods, const_cast<TransportFunctions*>(functions),
                      request::kMaxRequestData, request::kMaxResponseData};
}
