// One guest RPC command over the hypervisor's message channel (protocol RPCI), with the reply rules:
// a reply starts "1 " (success) or "0 " (the hypervisor refused); anything else is not a reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/GuestRpc.h"

namespace tamber::core::util {

class RpcOut {
 public:
  // Opens a channel, sends the command, receives and checks the reply, closes. True only when the
  // reply began "1 " and the close succeeded. *reply takes the text after the two status bytes, or on a
  // failure the error text; it is empty (nullopt) when the close failed, since the reply is then dropped.
  static bool SendOne(platform::GuestRpcTransport& transport, std::string_view command,
                      std::optional<std::string>* reply);
};

}  // namespace tamber::core::util
