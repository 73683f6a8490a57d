// A child process for the runner's tests.
//   velocyn_test_child [--pid-file PATH] [--print a,b,...] [--sleep-ms N] [--exit N]
// Writes its process id to PATH, prints each item on a line of its own, sleeps, and exits with N.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <process.h>
static int ProcessId() { return _getpid(); }
#else
#include <unistd.h>
static int ProcessId() { return static_cast<int>(getpid()); }
#endif

int main(int argc, char** argv) {
  int exitCode = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    std::string value = argv[i + 1];
    if (option == "--pid-file") {
      // Written to a new name first so that a reader never sees half a number.
      std::string temporary = value + ".tmp";
      {
        std::ofstream out(temporary, std::ios::trunc);
        out << ProcessId() << "\n";
      }
      std::rename(temporary.c_str(), value.c_str());
    } else if (option == "--print") {
      std::stringstream items(value);
      std::string item;
      while (std::getline(items, item, ',')) std::printf("%s\n", item.c_str());
      std::fflush(stdout);
    } else if (option == "--sleep-ms") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
    } else if (option == "--exit") {
      exitCode = std::atoi(value.c_str());
    } else {
      std::fprintf(stderr, "unknown option %s\n", option.c_str());
      return 2;
    }
  }
  return exitCode;
}
