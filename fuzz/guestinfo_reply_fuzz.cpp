// Fuzzes what the agent does with the hypervisor's replies to guestinfo commands: the reply rules of one
// RPC exchange, and the guestinfo reads and writes that take those replies apart (values, state flags,
// the raw buffers the callers free). The first byte chooses the operation and whether the exchange
// itself fails; the rest is the reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "core/util/GuestInfo.h"
#include "core/util/RpcOut.h"

namespace {

using tamber::core::util::GuestInfo;
using tamber::core::util::GuestInfoContext;
using tamber::platform::GuestRpcError;

class ReplyTransport : public tamber::platform::GuestRpcTransport {
 public:
  ReplyTransport(std::string reply, GuestRpcError error) : reply_(std::move(reply)), error_(error) {}
  GuestRpcError Exchange(std::string_view, std::string* reply) override {
    *reply = reply_;
    return error_;
  }

 private:
  std::string reply_;
  GuestRpcError error_;
};

// A clone, not the golden image: every read goes to the hypervisor.
class CloneContext : public GuestInfoContext {
 public:
  bool IsGoldenImage() override { return false; }
  int32_t GetMirrorValue(const std::wstring&, std::wstring* value) override {
    value->clear();
    return 0;
  }
  int32_t SetMirrorValue(const std::wstring&, const std::wstring&) override { return 0; }
  std::string GetRoleText() override { return "clone"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  const GuestRpcError error = (choice & 0x80) ? GuestRpcError::kReceive : GuestRpcError::kNone;
  ReplyTransport transport(std::string(reinterpret_cast<const char*>(data + 1), size - 1), error);
  CloneContext context;
  GuestInfo guestInfo(&context, &transport);
  switch (choice & 7) {
    case 0: {
      std::optional<std::string> reply;
      const bool ok = tamber::core::util::RpcOut::SendOne(transport, "info-get guestinfo.x", &reply);
      if (ok && (size < 3 || data[1] != '1' || data[2] != ' ')) std::abort();  // only "1 " is success
      break;
    }
    case 1: {
      std::string value;
      if (guestInfo.GetValue("clone.CustomizationState", &value) && value.size() + 2 > size) std::abort();
      break;
    }
    case 2: {
      std::wstring value;
      guestInfo.GetValue("AgentCustomizationFlags", &value);
      break;
    }
    case 3: {
      char* buffer = nullptr;
      size_t length = 0;
      if (guestInfo.GetValue("machinePasswd", &buffer, &length)) {
        if (buffer == nullptr || buffer[length] != '\0') std::abort();  // terminated where it says
      }
      guestInfo.FreeValue(&buffer);
      if (buffer != nullptr) std::abort();
      break;
    }
    case 4:
      guestInfo.IsGuestInfoVmStateSet("forked");
      break;
    case 5:
      guestInfo.SetValue("clone.CustomizationState", "running");
      guestInfo.SetValue("clone.CustomizationErrorCode", -2147467259);
      break;
    default:
      guestInfo.Log("Windows guest customization starts.");
      break;
  }
  return 0;
}
