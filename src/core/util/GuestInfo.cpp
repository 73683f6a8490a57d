#include "core/util/GuestInfo.h"

#include <boost/lexical_cast.hpp>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/util/StringConverter.h"
#include "core/util/Registry.h"
#include "core/util/RpcOut.h"
#include "framework/log/Log.h"
#include "platform/StackTrace.h"

namespace tamber::core::util {
namespace {

using common::i18n::StringConverter;

// GuestInfo has a member named Log; this reaches the logging call.
template <class... Args>
void Write(LogLevel level, const wchar_t* format, const Args&... args) {
  framework::log::Log(level, format, args...);
}

constexpr std::string_view kGetPrefix = "info-get guestinfo.";
constexpr std::string_view kSetPrefix = "info-set guestinfo.";
constexpr int32_t kSOk = 0;

// Variables whose values are secrets: they are never written to a log.
// The clone UUID is half the key of the password's cipher, so it is kept out of the log as well.
bool IsSecretVariable(std::string_view name) {
  return name == "machinePasswd" || name == "machinePasswdChecksum" || name == "cloneprep.clone.uuid";
}
constexpr const char* kHidden = "********";

// A command as it may be logged: the value of a secret variable is left out.
std::string LoggableCommand(std::string_view command) {
  if (command.substr(0, kSetPrefix.size()) == kSetPrefix) {
    std::string_view rest = command.substr(kSetPrefix.size());
    auto blank = rest.find(' ');
    if (blank != std::string_view::npos && IsSecretVariable(rest.substr(0, blank))) {
      return std::string(command.substr(0, kSetPrefix.size() + blank + 1)) + kHidden;
    }
  }
  return std::string(command);
}

// A name goes into a command line: blanks or control characters would change which variable it means.
bool IsUsableName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  for (const char* p = name; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

void Wipe(std::string& text) {
  for (char& c : text) const_cast<volatile char&>(c) = 0;
}

// Reply buffers keep their length in front of the text, so FreeValue can wipe them whole.
char* AllocateReply(std::string_view text) {
  size_t length = text.size();
  auto* block = new char[sizeof(size_t) + length + 1];
  std::memcpy(block, &length, sizeof length);
  std::memcpy(block + sizeof(size_t), text.data(), length);
  block[sizeof(size_t) + length] = '\0';
  return block + sizeof(size_t);
}

// The caller's frames, innermost first, on one line.
std::string CallStackText() {
  void* frames[32] = {};
  uint16_t count = platform::CaptureStackBackTrace(/*framesToSkip=*/1, 32, frames);
  std::string text;
  for (uint16_t i = 0; i < count; ++i) {
    if (i != 0) text += " <- ";
    text += platform::DescribeCodeAddress(frames[i]);
  }
  return text.empty() ? std::string("(no frames)") : text;
}

class RegistryContext : public GuestInfoContext {
 public:
  bool IsGoldenImage() override {
    const uint32_t absent = 0;
    uint32_t value = 0;
    if (Registry::Instance()->GetValue(L"GoldenImage", &absent, &value, regtype::kSetup) < 0) return false;
    return value == 1;
  }
  int32_t GetMirrorValue(const std::wstring& name, std::wstring* value) override {
    value->clear();
    if (Registry::Instance()->GetValue(name, value, regtype::kGuestInfo) < 0) value->clear();  // missing: empty
    return kSOk;
  }
  int32_t SetMirrorValue(const std::wstring& name, const std::wstring& value) override {
    return Registry::Instance()->SetValue(name, value, regtype::kGuestInfo);
  }
  std::string GetRoleText() override {
    std::function<std::string()> source;
    {
      std::lock_guard<std::mutex> guard(lock);
      source = roleSource;
    }
    return source ? source() : std::string("unknown");
  }

  std::mutex lock;
  std::function<std::string()> roleSource;
};

RegistryContext& DefaultContext() {
  static auto* context = new RegistryContext;  // never destroyed: reached from threads until exit
  return *context;
}

}  // namespace

GuestInfoContext& GuestInfoContext::Default() { return DefaultContext(); }

void GuestInfoContext::SetRoleTextSource(std::function<std::string()> source) {
  auto& context = DefaultContext();
  std::lock_guard<std::mutex> guard(context.lock);
  context.roleSource = std::move(source);
}

GuestInfo::GuestInfo(GuestInfoContext* context, platform::GuestRpcTransport* transport)
    : context_(context != nullptr ? *context : GuestInfoContext::Default()),
      transport_(transport != nullptr ? *transport : platform::DefaultGuestRpcTransport()),
      defaultTransport_(transport == nullptr) {}

void GuestInfo::NoteChannelOnce() {
  // Once per process: a machine that is never customized says why in its log.
  static std::once_flag noted;
  std::call_once(noted, [] {
    std::string note = platform::GuestRpcChannelNote();
    if (!note.empty()) Write(LogLevel::Warn, L"tamber::core::util::GuestInfo::Run(): %S", note);
  });
}

bool GuestInfo::RegistryMode() { return context_.IsGoldenImage(); }

bool GuestInfo::Run(const char* command, char** reply, size_t* replyLength) {
  if (reply != nullptr) *reply = nullptr;
  if (replyLength != nullptr) *replyLength = 0;
  if (RegistryMode()) {
    Write(LogLevel::Warn, L"tamber::core::util::GuestInfo::Run(): Not allowed callstack: %S", CallStackText());
    return false;
  }
  if (command == nullptr || *command == '\0') return false;
  if (defaultTransport_) NoteChannelOnce();
  std::optional<std::string> answer;
  bool succeeded = RpcOut::SendOne(transport_, command, &answer);
  if (!succeeded) {
    Write(LogLevel::Warn, L"tamber::core::util::GuestInfo::Run(): Failed Running %S", LoggableCommand(command));
    if (answer) Wipe(*answer);
    return false;
  }
  if (reply != nullptr && answer) {
    *reply = AllocateReply(*answer);
    if (replyLength != nullptr) *replyLength = answer->size();
  }
  if (answer) Wipe(*answer);
  return true;
}

bool GuestInfo::GetValue(const char* name, char** buffer, size_t* length) {
  if (buffer == nullptr) return false;
  *buffer = nullptr;
  if (length != nullptr) *length = 0;
  if (name == nullptr || *name == '\0') return false;
  if (RegistryMode()) {
    std::wstring wideName = StringConverter::Utf8ToWString(name);
    std::wstring value;
    context_.GetMirrorValue(wideName, &value);
    std::string narrow = StringConverter::ToUtf8String(value);
    *buffer = AllocateReply(narrow);
    if (length != nullptr) *length = narrow.size();
    Write(LogLevel::Debug,
          L"tamber::core::util::GuestInfo::GetValue(): Get GuestInfo equivalent regkey entry/value pair: %ws = %ws",
          wideName, IsSecretVariable(name) ? std::wstring(L"********") : value);
    Wipe(narrow);
    for (wchar_t& c : value) const_cast<volatile wchar_t&>(c) = 0;
    return true;
  }
  std::string command = std::string(kGetPrefix) + name;
  if (!IsUsableName(name) || !Run(command.c_str(), buffer, length) || *buffer == nullptr) {
    FreeValue(buffer);
    Write(LogLevel::Warn, L"tamber::core::util::GuestInfo::GetValue(): Failed getting %S", command);
    return false;
  }
  return true;
}

bool GuestInfo::GetValue(const char* name, std::string* value) {
  if (name == nullptr || *name == '\0' || value == nullptr) return false;
  char* buffer = nullptr;
  bool succeeded = GetValue(name, &buffer, nullptr);
  if (succeeded && buffer != nullptr) *value = buffer;  // up to the first null, as a C string reads
  FreeValue(&buffer);
  return succeeded;
}

bool GuestInfo::GetValue(const char* name, std::wstring* value) {
  if (value == nullptr) return false;
  std::string narrow;
  bool succeeded = GetValue(name, &narrow);
  if (succeeded) *value = StringConverter::Utf8ToWString(narrow);
  Wipe(narrow);
  return succeeded;
}

bool GuestInfo::SetValue(const char* name, const char* value) {
  if (name == nullptr || *name == '\0' || value == nullptr) return false;
  if (RegistryMode()) {
    std::wstring wideName = StringConverter::Utf8ToWString(name);
    std::wstring wideValue = StringConverter::Utf8ToWString(value);
    int32_t result = context_.SetMirrorValue(wideName, wideValue);
    if (result < 0) {
      Write(LogLevel::Error, L"tamber::core::util::GuestInfo::SetValue(): Failed setting %S", std::string(name));
      return false;
    }
    Write(LogLevel::Debug,
          L"tamber::core::util::GuestInfo::SetValue(): Set GuestInfo equivalent regkey entry/value pair: %ws = %ws",
          wideName, IsSecretVariable(name) ? std::wstring(L"********") : wideValue);
    for (wchar_t& c : wideValue) const_cast<volatile wchar_t&>(c) = 0;
    return true;
  }
  std::string command = std::string(kSetPrefix) + name + " " + value;
  bool succeeded = IsUsableName(name) && Run(command.c_str());
  if (!succeeded) {
    Write(LogLevel::Error, L"tamber::core::util::GuestInfo::SetValue(): Failed setting %S", LoggableCommand(command));
  }
  Wipe(command);
  return succeeded;
}

bool GuestInfo::SetValue(const char* name, int32_t value) {
  std::string text;
  try {
    text = boost::lexical_cast<std::string>(value);
  } catch (const std::exception& error) {
    Write(LogLevel::Error,
          L"tamber::core::util::GuestInfo::SetValue(): Exception In lexical_cast Setting Value: %S, %S",
          std::string(name != nullptr ? name : "(null)"), std::string(error.what()));
    return false;
  }
  return SetValue(name, text.c_str());
}

bool GuestInfo::Log(const char* text) {
  if (text == nullptr) return false;
  if (RegistryMode()) {
    Write(LogLevel::Info, L"tamber::core::util::GuestInfo::Log(): GuestInfo equivalent log: %S", std::string(text));
    return true;
  }
  std::string command = std::string("log '") + text + "'";
  if (!Run(command.c_str())) {
    Write(LogLevel::Warn, L"tamber::core::util::GuestInfo::Log(): Failed to run %S", command);
    return false;
  }
  return true;
}

bool GuestInfo::IsGuestInfoVmStateSet(const char* name) {
  std::string value;
  if (!GetValue(name, &value)) return false;
  Write(LogLevel::Debug, L"tamber::core::util::GuestInfo::IsGuestInfoVmStateSet(): Value of %S: %S", std::string(name),
        value);
  return !value.empty() && value[0] == '1';
}

std::string GuestInfo::BuildRoleVariableName(std::string* out, const char* prefix, const char* suffix) {
  std::string result;
  if (suffix != nullptr && *suffix != '\0') {
    if (prefix != nullptr && *prefix != '\0') result = std::string(prefix) + ".";
    result += context_.GetRoleText() + "." + suffix;
  }
  if (out != nullptr) *out = result;
  return result;
}

void GuestInfo::FreeValue(char** buffer) {
  if (buffer == nullptr || *buffer == nullptr) return;
  char* block = *buffer - sizeof(size_t);
  size_t length = 0;
  std::memcpy(&length, block, sizeof length);
  volatile char* p = block;
  for (size_t i = 0; i < sizeof(size_t) + length + 1; ++i) p[i] = 0;
  delete[] block;
  *buffer = nullptr;
}

}  // namespace tamber::core::util
