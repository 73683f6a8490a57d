// Named pipes of the simulated guest are sockets that only this machine's processes can reach.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/NamedPipe.h"
#include "platform/sim/machine/SimMachine.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

namespace fs = std::filesystem;

class SimNamedPipeTest : public test::GuestTest {};

TEST_F(SimNamedPipeTest, SocketIsPrivateToTheMachine) {
  platform::Handle server = platform::CreateNamedPipe(L"\\\\.\\pipe\\Velocyn Private", /*firstInstance=*/true);
  ASSERT_NE(server, platform::InvalidHandleValue());
  const fs::path dir = platform::sim::Machine::Directory() / "pipes";
  const fs::path socket = dir / "velocyn%20private";  // names are case-insensitive, as on Windows
  ASSERT_TRUE(fs::exists(socket));
  EXPECT_EQ(fs::status(socket).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
  platform::Handle client = platform::OpenNamedPipe(L"\\\\.\\PIPE\\velocyn private", 1000);
  EXPECT_NE(client, platform::InvalidHandleValue());
  platform::CloseHandle(client);
  platform::CloseHandle(server);
  EXPECT_FALSE(fs::exists(socket));  // the last instance takes the name with it
}

}  // namespace
}  // namespace tamber
