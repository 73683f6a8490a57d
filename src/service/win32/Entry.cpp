// The Windows process entry: the image's instance goes to the service shell.
#include <windows.h>

#include "framework/log/LogWriter.h"
#include "service/WinMain.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int exitCode = tamber::service::wWinMain(instance);
  tamber::framework::log::ShutdownLog();
  return exitCode;
}
