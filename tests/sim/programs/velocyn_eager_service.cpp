// A stand-in service process that speaks the simulated service control manager's protocol itself and
// sends its hello and first status report in one write, the way a fast service can; it stops on the
// first stop control. Flow tests use it to pin down how the boot controller reads its reports.
#include <cstdlib>
#include <string>

#include "platform/sim/services/SimServiceHost.h"

int main() {
  const char* path = std::getenv(tamber::platform::sim::kScmSocketVariable);
  if (path == nullptr) return 2;
  auto socket = tamber::platform::sim::LineSocket::Connect(path);
  if (!socket.Send("service eager\nstatus 4 1 0 0 0 0")) return 3;
  for (;;) {
    bool closed = false;
    auto line = socket.Receive(60000, &closed);
    if (!line) return 4;
    if (line->rfind("control 1 ", 0) == 0) {
      socket.Send("status 1 1 0 0 0 0");
      return 0;
    }
  }
}
