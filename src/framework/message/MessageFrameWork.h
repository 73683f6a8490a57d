// The message framework: a local channel between processes of one machine that carries requests to
// named queues and their responses.
//
// Envelope (what the framework puts in a Message):
//   request:  kind kMessageKindRequest, queueName = target queue, queueHint = hint, messageId = a
//             per-process unique id, bag = the request bag.
//   response: kind kMessageKindResponse + response type (0..255), queueName = the request's queue,
//             replyToId = the request's messageId, bag = the response bag (which may carry
//             kErrorTextName / kErrorCodeName items).
// Messages travel flattened in UTF-16 inside the packet frame (PacketFrame.h), over a named pipe
// "\\.\pipe\<channel>" that only SYSTEM and Administrators may open (on the simulated guest, a socket
// of mode 0600 in the machine directory).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/message/Message.h"
#include "framework/message/PropertyBag.h"

namespace CORE {

// Response types, by number.
enum class ResponseType : uint32_t {
  Ok = 0,
  Error = 1,
  RoutingFailed = 2,
  NoQueueHandler = 3,
  NotAuthorized = 4,
  Timeout = 5,
  Cancelled = 6,
  ShuttingDown = 7,
  QueuePaused = 8,
  SizeTooBig = 9,
  SystemBusy = 10,
};
// "Ok" ... "SystemBusy"; "<UNKNOWN>" for any other number.
const char* ResponseTypeName(uint32_t type);
inline const char* ResponseTypeName(ResponseType type) { return ResponseTypeName(static_cast<uint32_t>(type)); }

constexpr uint16_t kMessageKindRequest = 0x0001;
constexpr uint16_t kMessageKindResponse = 0x0100;  // + response type

// The channel the agent helper and the key vault serve on this machine.
constexpr wchar_t kLocalChannelName[] = L"velocyn-message-channel";
constexpr uint32_t kNoTimeout = 0xFFFFFFFF;

class MessageChannel;
using MessageChannelPtr = std::shared_ptr<MessageChannel>;

// A queue handler fills the response bag and returns the response type. It runs on a framework thread.
using QueueHandler = std::function<ResponseType(const Message& request, PropertyBag* response)>;

class MessageFrameWork {
 public:
  MessageFrameWork();
  ~MessageFrameWork();  // stops
  MessageFrameWork(const MessageFrameWork&) = delete;
  MessageFrameWork& operator=(const MessageFrameWork&) = delete;

  // Starts the framework in this process (idempotent).
  bool Start();
  bool IsReady() const;
  // Closes every channel, stops serving, and waits for the framework's threads (so never from a
  // queue handler, which runs on one of them).
  void Stop();

  // Client side: connects to the channel of that name on this machine.
  bool Connect(const std::wstring& channelName, MessageChannelPtr* channel);
  void Close(const MessageChannelPtr& channel);
  // Sends a request and waits up to timeoutMs (kNoTimeout: no limit) for its response. Returns the
  // response type (Timeout when none came in time, RoutingFailed when the channel failed) and fills
  // *response with the response bag.
  ResponseType Send(const MessageChannelPtr& channel, const std::wstring& queueName, const std::wstring& queueHint,
                    const PropertyBag& request, uint32_t timeoutMs, PropertyBag* response);

  // Server side: the handler of a queue (replaces any before). Requests to queues without a handler
  // are answered NoQueueHandler.
  void RegisterQueueHandler(const std::wstring& queueName, QueueHandler handler);
  void UnregisterQueueHandler(const std::wstring& queueName);
  // Only requests whose filter tags (the reserved kFilterTagsName item: a text of tags separated by
  // ';') include one of these are dispatched; others are answered RoutingFailed. Empty: no filter.
  void SetTagFilter(std::set<std::wstring> tags);
  // Serves the channel of that name until Stop.
  bool Listen(const std::wstring& channelName);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace CORE
