// The named pipe seam: the Win32 behaviour the message framework relies on, in both tiers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/NamedPipe.h"
#include "platform/Types.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using platform::Handle;
using platform::InvalidHandleValue;

class NamedPipeTest : public test::GuestTest {
 protected:
  std::wstring Name() {
    static std::atomic<int> next{0};
    return L"\\\\.\\pipe\\velocyn-seam-" + std::to_wstring(platform::GetCurrentProcessId()) + L"-" +
           std::to_wstring(next++);
  }
};

TEST_F(NamedPipeTest, ConnectTransferAndBrokenPipe) {
  const std::wstring name = Name();
  Handle server = platform::CreateNamedPipe(name.c_str(), /*firstInstance=*/true);
  ASSERT_NE(server, InvalidHandleValue());
  EXPECT_EQ(platform::CreateNamedPipe(name.c_str(), /*firstInstance=*/true), InvalidHandleValue());
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);

  std::thread accept([&] { EXPECT_TRUE(platform::ConnectNamedPipe(server)); });
  Handle client = platform::OpenNamedPipe(name.c_str(), 5000);
  ASSERT_NE(client, InvalidHandleValue());
  accept.join();

  uint32_t done = 0;
  ASSERT_TRUE(platform::WriteNamedPipe(client, "ping", 4, &done));
  EXPECT_EQ(done, 4u);
  char buffer[16] = {};
  uint32_t got = 0;
  while (got < 4) {
    ASSERT_TRUE(platform::ReadNamedPipe(server, buffer + got, sizeof(buffer) - got, &done));
    got += done;
  }
  EXPECT_EQ(std::string(buffer, 4), "ping");

  // The client goes: the server's read fails with a broken pipe, and the instance can serve again.
  platform::CloseHandle(client);
  EXPECT_FALSE(platform::ReadNamedPipe(server, buffer, sizeof(buffer), &done));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
  EXPECT_TRUE(platform::DisconnectNamedPipe(server));
  std::thread again([&] { EXPECT_TRUE(platform::ConnectNamedPipe(server)); });
  client = platform::OpenNamedPipe(name.c_str(), 5000);
  ASSERT_NE(client, InvalidHandleValue());
  again.join();
  platform::CloseHandle(client);
  platform::CloseHandle(server);
}

TEST_F(NamedPipeTest, CancelEndsBlockedCalls) {
  const std::wstring name = Name();
  Handle server = platform::CreateNamedPipe(name.c_str(), /*firstInstance=*/true);
  ASSERT_NE(server, InvalidHandleValue());
  std::atomic<uint32_t> error{0};
  std::thread waiter([&] {
    EXPECT_FALSE(platform::ConnectNamedPipe(server));
    error = platform::GetLastError();
  });
  platform::CancelNamedPipe(server);
  waiter.join();
  EXPECT_EQ(error.load(), platform::kErrorOperationAborted);
  platform::CloseHandle(server);

  // A read blocked on a connected pipe ends too.
  server = platform::CreateNamedPipe(name.c_str(), /*firstInstance=*/true);
  ASSERT_NE(server, InvalidHandleValue());
  std::thread accept([&] { EXPECT_TRUE(platform::ConnectNamedPipe(server)); });
  Handle client = platform::OpenNamedPipe(name.c_str(), 5000);
  ASSERT_NE(client, InvalidHandleValue());
  accept.join();
  std::thread reader([&] {
    char byte = 0;
    uint32_t done = 0;
    EXPECT_FALSE(platform::ReadNamedPipe(client, &byte, 1, &done));
    error = platform::GetLastError();
  });
  platform::CancelNamedPipe(client);
  reader.join();
  EXPECT_EQ(error.load(), platform::kErrorOperationAborted);
  platform::CloseHandle(client);
  platform::CloseHandle(server);
}

TEST_F(NamedPipeTest, UnservedAndMalformedNames) {
  EXPECT_EQ(platform::OpenNamedPipe(Name().c_str(), 100), InvalidHandleValue());
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::CreateNamedPipe(L"C:\\not-a-pipe", true), InvalidHandleValue());
}

}  // namespace
}  // namespace tamber
