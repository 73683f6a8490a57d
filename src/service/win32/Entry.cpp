// The Windows process entry: the image's instance goes to the service shell.
#include <windows.h>

#include "framework/log/LogWriter.h"
#include "service/WinMain.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int exitCode = tamber::service::wWinMain(instance);
  // Everything logged is written, then the process ends without joining the log writer. The
  // dispatcher returns as soon as the service reports SERVICE_STOPPED, while the service thread is
  // still leaving (its thread-detach callbacks run under the loader lock); a log writer thread ending
  // then waited for that lock and the service thread did not finish either, so the join never
  // returned: the stopped service's process lived on, its image in use, until the service control
  // manager killed it (seen under Wine on every start after the first of a session).
  tamber::framework::log::FlushLog();
  ExitProcess(static_cast<UINT>(exitCode));
}
