#include "core/util/RpcOut.h"

namespace tamber::core::util {

bool RpcOut::SendOne(platform::GuestRpcTransport& transport, std::string_view command,
                     std::optional<std::string>* reply) {
  std::string raw;
  platform::GuestRpcError error = transport.Exchange(command, &raw);
  bool succeeded = false;
  std::string text;
  switch (error) {
    case platform::GuestRpcError::kOpen:
      text = "RpcOut: Unable to open the communication channel";
      break;
    case platform::GuestRpcError::kSend:
      text = "RpcOut: Unable to send the RPCI command";
      break;
    case platform::GuestRpcError::kReceive:
      text = "RpcOut: Unable to receive the result of the RPCI command";
      break;
    case platform::GuestRpcError::kNone:
    case platform::GuestRpcError::kClose:
      if (raw.size() < 2 || (raw.compare(0, 2, "1 ") != 0 && raw.compare(0, 2, "0 ") != 0)) {
        text = "RpcOut: Invalid format for the result of the RPCI command";
      } else {
        succeeded = raw[0] == '1';
        text.assign(raw, 2, std::string::npos);
      }
      break;
  }
  // Replies may carry secrets (machine password blobs): wipe the raw copy before it is freed.
  for (char& c : raw) const_cast<volatile char&>(c) = 0;
  if (error == platform::GuestRpcError::kClose) {
    for (char& c : text) const_cast<volatile char&>(c) = 0;
    if (reply != nullptr) reply->reset();
    return false;
  }
  if (reply != nullptr) *reply = std::move(text);
  return succeeded;
}

}  // namespace tamber::core::util
