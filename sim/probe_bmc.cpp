#include "probe_bmc.h"

namespace sim {

void installProbeHandlers(Bmc& bmc) {
  bmc.setHandler(kProbeNetFnLun, kProbeEcho,
                 [](const Request& request) { return Reply{kCompletionOk, request.data}; });
  bmc.setHandler(kProbeNetFnLun, kProbeSized, [](const Request& request) -> std::optional<Reply> {
    if (request.data.size() < 2) return Reply{kCompletionInvalidLength, {}};
    Reply reply{kCompletionOk, {}};
    for (int i = 0; i < request.data[0]; ++i) {
      reply.data.push_back(static_cast<uint8_t>(request.data[1] + i));
    }
    return reply;
  });
  bmc.setHandler(kProbeNetFnLun, kProbeCode, [](const Request& request) -> std::optional<Reply> {
    if (request.data.empty()) return Reply{kCompletionInvalidLength, {}};
    return Reply{request.data[0], Bytes(request.data.begin() + 1, request.data.end())};
  });
  bmc.setHandler(kProbeNetFnLun, kProbeSilent,
                 [](const Request&) -> std::optional<Reply> { return std::nullopt; });
}

void addProbeOptions(std::vector<BmcsimOption>& options) {
  options.push_back({"--probe", nullptr,
                     "answer the transport test commands 0xF8/0x70..0x73 (echo, sized reply, "
                     "chosen completion code, silence)",
                     [](BmcsimSettings& settings, const char*) {
                       installProbeHandlers(settings.bmc);
                       return true;
                     }});
}

}  // namespace sim
