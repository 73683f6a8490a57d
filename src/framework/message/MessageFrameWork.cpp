#include "framework/message/MessageFrameWork.h"

#include <algorithm>
#include <condition_variable>
#include <exception>

#include "common/windows/Handles.h"
#include "framework/crash/CrashHandler.h"
#include "framework/log/Log.h"
#include "framework/message/PacketFrame.h"
#include "platform/NamedPipe.h"
#include "platform/Sync.h"

namespace CORE {

using tamber::Log;
using tamber::LogLevel;
using tamber::common::windows::HResultFromWin32;
using tamber::common::windows::UniqueHandle;
namespace platform = tamber::platform;

const char* ResponseTypeName(uint32_t type) {
  static const char* const kNames[] = {"Ok",        "Error",     "RoutingFailed", "NoQueueHandler", "NotAuthorized",
                                       "Timeout",   "Cancelled", "ShuttingDown",  "QueuePaused",    "SizeTooBig",
                                       "SystemBusy"};
  return type < sizeof(kNames) / sizeof(kNames[0]) ? kNames[type] : "<UNKNOWN>";
}

namespace {

constexpr long kWireEncoding = kEncodingUtf16;
constexpr uint32_t kConnectTimeoutMs = 5000;

std::wstring PipePath(const std::wstring& channelName) { return L"\\\\.\\pipe\\" + channelName; }

// Reads exactly size bytes from a pipe.
bool ReadExact(platform::Handle pipe, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    uint32_t count = 0;
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(size - done, 1u << 20));
    if (!platform::ReadNamedPipe(pipe, data + done, chunk, &count) || count == 0) return false;
    done += count;
  }
  return true;
}

bool WriteAll(platform::Handle pipe, const uint8_t* data, size_t size) {
  uint32_t written = 0;
  return platform::WriteNamedPipe(pipe, data, static_cast<uint32_t>(size), &written) && written == size;
}

}  // namespace

// One client connection: requests go out under a lock; a reader thread hands each response to the
// request waiting for it, by replyToId.
class MessageChannel {
 public:
  struct Pending {
    UniqueHandle done;
    bool answered = false;
    uint32_t type = 0;
    PropertyBag bag;
  };

  explicit MessageChannel(platform::Handle pipe) : pipe_(pipe) {
    reader_ = std::thread([this] {
      OnFrameworkThreadStart();
      ReadResponses();
    });
  }
  ~MessageChannel() { Close(); }
  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;

  void Close() {
    std::lock_guard<std::mutex> closeLock(closeLock_);
    if (pipe_ == nullptr) return;
    platform::CancelNamedPipe(pipe_);
    if (reader_.joinable()) reader_.join();
    std::lock_guard<std::mutex> lock(writeLock_);
    platform::CloseHandle(pipe_);
    pipe_ = nullptr;
  }

  bool Write(const std::vector<uint8_t>& message, uint64_t chunkId) {
    std::lock_guard<std::mutex> lock(writeLock_);
    if (broken_) return false;
    platform::Handle pipe = pipe_;
    return WriteFramedMessage(message.data(), message.size(), chunkId,
                              [pipe](const uint8_t* data, size_t size) { return WriteAll(pipe, data, size); });
  }

  std::shared_ptr<Pending> Expect(const std::wstring& messageId) {
    auto pending = std::make_shared<Pending>();
    pending->done.reset(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
    if (!pending->done) return nullptr;
    std::lock_guard<std::mutex> lock(pendingLock_);
    if (broken_) return nullptr;
    pending_[messageId] = pending;
    return pending;
  }

  void Forget(const std::wstring& messageId) {
    std::lock_guard<std::mutex> lock(pendingLock_);
    pending_.erase(messageId);
  }

  // True when the response came; otherwise the request is forgotten, so a late response is dropped.
  bool Collect(const std::wstring& messageId, const std::shared_ptr<Pending>& pending) {
    std::lock_guard<std::mutex> lock(pendingLock_);
    if (pending->answered) return true;
    pending_.erase(messageId);
    return false;
  }

 private:
  void ReadResponses() {
    FrameReader reader(Message::kMaxFlattenedSize);
    std::vector<uint8_t> bytes;
    const platform::Handle pipe = pipe_;
    const FrameSource source = [pipe](uint8_t* data, size_t size) { return ReadExact(pipe, data, size); };
    while (reader.ReadMessage(source, &bytes)) {
      Message response;
      if (!response.Parse(bytes, kWireEncoding) || response.kind < kMessageKindResponse ||
          response.kind > kMessageKindResponse + 0xFF) {
        Log(LogLevel::Error, L"CORE::MessageChannel::ReadResponses(): Dropping a message that is not a response");
        continue;
      }
      std::lock_guard<std::mutex> lock(pendingLock_);
      auto it = pending_.find(response.replyToId);
      if (it == pending_.end()) continue;  // its sender gave up waiting
      it->second->type = response.kind - kMessageKindResponse;
      it->second->bag = std::move(response.bag);
      it->second->answered = true;
      platform::SetEvent(it->second->done.get());
      pending_.erase(it);
    }
    // The channel is gone: every waiting request ends now rather than at its time-out.
    std::lock_guard<std::mutex> lock(pendingLock_);
    broken_ = true;
    for (auto& [id, pending] : pending_) platform::SetEvent(pending->done.get());
    pending_.clear();
  }

  platform::Handle pipe_;
  std::thread reader_;
  std::mutex closeLock_;
  std::mutex writeLock_;
  std::mutex pendingLock_;
  std::map<std::wstring, std::shared_ptr<Pending>> pending_;
  std::atomic<bool> broken_{false};
};

// The server side of one channel name: a thread that waits for clients on a fresh pipe instance,
// and one thread per connected client that answers its requests in order.
struct Server {
  std::wstring name;
  std::thread listener;
  std::mutex lock;
  platform::Handle waiting = nullptr;  // the instance the listener waits on
  struct Connection {
    platform::Handle pipe = nullptr;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  std::vector<Connection> connections;
  bool stopping = false;
};

struct MessageFrameWork::Impl {
  std::mutex lock;
  bool started = false;
  std::map<std::wstring, QueueHandler> handlers;
  std::set<std::wstring> tagFilter;
  std::vector<MessageChannelPtr> channels;
  std::vector<std::unique_ptr<Server>> servers;
  std::atomic<uint64_t> nextId{1};

  std::wstring NewMessageId() {
    return std::to_wstring(platform::GetCurrentProcessId()) + L"-" + std::to_wstring(nextId.fetch_add(1));
  }
  uint64_t NewChunkId() { return (static_cast<uint64_t>(platform::GetCurrentProcessId()) << 32) | nextId.fetch_add(1); }

  ResponseType Dispatch(Message& request, PropertyBag* response);
  void Serve(Server* server, platform::Handle pipe);
  // Joins the threads of clients that have gone and closes their pipe instances (server lock held).
  static void ReapConnections(Server* server);
  void Listen(Server* server);
};

ResponseType MessageFrameWork::Impl::Dispatch(Message& request, PropertyBag* response) {
  QueueHandler handler;
  std::set<std::wstring> filter;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!started) return ResponseType::ShuttingDown;
    auto it = handlers.find(request.queueName);
    if (it != handlers.end()) handler = it->second;
    filter = tagFilter;
  }
  // The reserved tags item is the framework's, not the handler's.
  std::wstring tags;
  const bool tagged = request.bag.GetText(kFilterTagsName, &tags);
  request.bag.Remove(kFilterTagsName);
  if (!filter.empty()) {
    bool accepted = false;
    for (size_t start = 0; tagged && start <= tags.size() && !accepted;) {
      size_t end = tags.find(L';', start);
      if (end == std::wstring::npos) end = tags.size();
      accepted = filter.count(tags.substr(start, end - start)) > 0;
      start = end + 1;
    }
    if (!accepted) return ResponseType::RoutingFailed;
  }
  if (!handler) return ResponseType::NoQueueHandler;
  try {
    return handler(request, response);
  } catch (const std::exception& e) {
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Dispatch(): Handler of queue %ws failed: %S", request.queueName,
        e.what());
  } catch (...) {
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Dispatch(): Handler of queue %ws failed", request.queueName);
  }
  response->Clear();
  response->SetErrorText(L"The queue handler failed");
  return ResponseType::Error;
}

void MessageFrameWork::Impl::Serve(Server* server, platform::Handle pipe) {
  FrameReader reader(Message::kMaxFlattenedSize);
  std::vector<uint8_t> bytes;
  const FrameSource source = [pipe](uint8_t* data, size_t size) { return ReadExact(pipe, data, size); };
  while (reader.ReadMessage(source, &bytes)) {
    Message request;
    if (!request.Parse(bytes, kWireEncoding) || request.kind != kMessageKindRequest) {
      // Without a parsed request there is no id to answer to; the client learns from the closed channel.
      Log(LogLevel::Error, L"CORE::MessageFrameWork::Serve(): Invalid request on channel %ws, closing the connection",
          server->name);
      break;
    }
    Message response;
    const ResponseType type = Dispatch(request, &response.bag);
    response.kind = static_cast<uint16_t>(kMessageKindResponse + (static_cast<uint32_t>(type) & 0xFF));
    response.queueName = request.queueName;
    response.replyToId = request.messageId;
    std::vector<uint8_t> out;
    if (!response.Flatten(kWireEncoding, &out)) {
      response.bag.Clear();
      response.kind = static_cast<uint16_t>(kMessageKindResponse + static_cast<uint32_t>(ResponseType::SizeTooBig));
      if (!response.Flatten(kWireEncoding, &out)) break;
    }
    if (!WriteFramedMessage(out.data(), out.size(), NewChunkId(),
                            [pipe](const uint8_t* data, size_t size) { return WriteAll(pipe, data, size); })) {
      break;
    }
  }
  platform::DisconnectNamedPipe(pipe);
}

void MessageFrameWork::Impl::ReapConnections(Server* server) {
  std::erase_if(server->connections, [](Server::Connection& connection) {
    if (!*connection.finished) return false;
    connection.thread.join();
    platform::CloseHandle(connection.pipe);
    return true;
  });
}

void MessageFrameWork::Impl::Listen(Server* server) {
  for (;;) {
    platform::Handle instance = nullptr;
    {
      std::lock_guard<std::mutex> guard(server->lock);
      if (server->stopping) break;
      instance = server->waiting;
    }
    if (!platform::ConnectNamedPipe(instance)) {
      std::lock_guard<std::mutex> guard(server->lock);
      if (server->stopping) break;
      Log(LogLevel::Error, L"CORE::MessageFrameWork::Listen(): Failed waiting for a client on channel %ws, 0x%X",
          server->name, HResultFromWin32(platform::GetLastError()));
      break;
    }
    platform::Handle next = platform::CreateNamedPipe(PipePath(server->name).c_str(), /*firstInstance=*/false);
    std::lock_guard<std::mutex> guard(server->lock);
    ReapConnections(server);
    Server::Connection connection;
    connection.pipe = instance;
    connection.finished = std::make_shared<std::atomic<bool>>(false);
    connection.thread = std::thread([this, server, instance, finished = connection.finished] {
      OnFrameworkThreadStart();
      Serve(server, instance);
      *finished = true;
    });
    server->connections.push_back(std::move(connection));
    if (next == platform::InvalidHandleValue()) {
      Log(LogLevel::Error, L"CORE::MessageFrameWork::Listen(): Failed to create a pipe instance for channel %ws, 0x%X",
          server->name, HResultFromWin32(platform::GetLastError()));
      server->waiting = nullptr;
      break;
    }
    server->waiting = next;
    if (server->stopping) break;
  }
}

MessageFrameWork::MessageFrameWork() : impl_(std::make_unique<Impl>()) {}

MessageFrameWork::~MessageFrameWork() { Stop(); }

bool MessageFrameWork::Start() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->started = true;
  return true;
}

bool MessageFrameWork::IsReady() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->started;
}

void MessageFrameWork::Stop() {
  std::vector<MessageChannelPtr> channels;
  std::vector<std::unique_ptr<Server>> servers;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->started = false;
    channels.swap(impl_->channels);
    servers.swap(impl_->servers);
  }
  for (auto& channel : channels) channel->Close();
  for (auto& server : servers) {
    {
      std::lock_guard<std::mutex> guard(server->lock);
      server->stopping = true;
      if (server->waiting != nullptr) platform::CancelNamedPipe(server->waiting);
    }
    if (server->listener.joinable()) server->listener.join();
    for (auto& connection : server->connections) platform::CancelNamedPipe(connection.pipe);
    for (auto& connection : server->connections) {
      if (connection.thread.joinable()) connection.thread.join();
      platform::CloseHandle(connection.pipe);
    }
    if (server->waiting != nullptr) platform::CloseHandle(server->waiting);
  }
}

bool MessageFrameWork::Connect(const std::wstring& channelName, MessageChannelPtr* channel) {
  if (channel == nullptr) return false;
  channel->reset();
  if (!IsReady()) {
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Connect(): The framework is not started");
    return false;
  }
  platform::Handle pipe = platform::OpenNamedPipe(PipePath(channelName).c_str(), kConnectTimeoutMs);
  if (pipe == platform::InvalidHandleValue()) {
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Connect(): Failed to open channel %ws, 0x%X", channelName,
        HResultFromWin32(platform::GetLastError()));
    return false;
  }
  auto created = std::make_shared<MessageChannel>(pipe);
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->channels.push_back(created);
  *channel = std::move(created);
  return true;
}

void MessageFrameWork::Close(const MessageChannelPtr& channel) {
  if (!channel) return;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    std::erase(impl_->channels, channel);
  }
  channel->Close();
}

ResponseType MessageFrameWork::Send(const MessageChannelPtr& channel, const std::wstring& queueName,
                                    const std::wstring& queueHint, const PropertyBag& request, uint32_t timeoutMs,
                                    PropertyBag* response) {
  PropertyBag ignored;
  if (response == nullptr) response = &ignored;
  response->Clear();
  if (!IsReady()) return ResponseType::ShuttingDown;
  if (!channel) return ResponseType::RoutingFailed;

  Message message;
  message.kind = kMessageKindRequest;
  message.queueName = queueName;
  message.queueHint = queueHint;
  message.messageId = impl_->NewMessageId();
  message.bag = request;
  std::vector<uint8_t> bytes;
  if (!message.Flatten(kWireEncoding, &bytes)) {
    response->SetErrorText(L"The request could not be flattened");
    return ResponseType::SizeTooBig;
  }
  auto pending = channel->Expect(message.messageId);
  if (!pending || !channel->Write(bytes, impl_->NewChunkId())) {
    channel->Forget(message.messageId);
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Send(): Failed to send to queue %ws, the channel is closed",
        queueName);
    return ResponseType::RoutingFailed;
  }
  const uint32_t wait = platform::WaitForSingleObject(pending->done.get(), timeoutMs);
  if (channel->Collect(message.messageId, pending)) {
    *response = std::move(pending->bag);
    return static_cast<ResponseType>(pending->type);
  }
  if (wait == platform::kWaitTimeout) {
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Send(): No response from queue %ws within %u ms", queueName,
        timeoutMs);
    return ResponseType::Timeout;
  }
  return ResponseType::RoutingFailed;
}

void MessageFrameWork::RegisterQueueHandler(const std::wstring& queueName, QueueHandler handler) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->handlers[queueName] = std::move(handler);
}

void MessageFrameWork::UnregisterQueueHandler(const std::wstring& queueName) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->handlers.erase(queueName);
}

void MessageFrameWork::SetTagFilter(std::set<std::wstring> tags) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->tagFilter = std::move(tags);
}

bool MessageFrameWork::Listen(const std::wstring& channelName) {
  if (!IsReady()) {
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Listen(): The framework is not started");
    return false;
  }
  platform::Handle first = platform::CreateNamedPipe(PipePath(channelName).c_str(), /*firstInstance=*/true);
  if (first == platform::InvalidHandleValue()) {
    Log(LogLevel::Error, L"CORE::MessageFrameWork::Listen(): Failed to create channel %ws, 0x%X", channelName,
        HResultFromWin32(platform::GetLastError()));
    return false;
  }
  auto server = std::make_unique<Server>();
  server->name = channelName;
  server->waiting = first;
  Server* raw = server.get();
  std::lock_guard<std::mutex> guard(impl_->lock);
  raw->listener = std::thread([this, raw] {
    OnFrameworkThreadStart();
    impl_->Listen(raw);
  });
  impl_->servers.push_back(std::move(server));
  return true;
}

}  // namespace CORE
