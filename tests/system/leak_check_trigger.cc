// Preloaded into an AddressSanitizer build of vornd by the system tests. vornd has no clean exit
// after it has served clients (the accept loop runs until the process is killed), so the leak
// check that LeakSanitizer runs at exit never sees a daemon that did any work; this runs it in
// the live daemon on request instead.
//
//   VORN_LEAK_CHECK=PREFIX  once the file PREFIX.go exists, runs the leak check (a report goes to
//                           standard error, the daemon's log) and then writes "leaks\n" or
//                           "clean\n" to PREFIX.done. One check per process.
//
// Without VORN_LEAK_CHECK it does nothing.

#include <sanitizer/lsan_interface.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr auto POLL_PERIOD = std::chrono::milliseconds(50);

void wait_and_check(const std::string& prefix) {
  const std::string go = prefix + ".go";
  while (::access(go.c_str(), F_OK) != 0) std::this_thread::sleep_for(POLL_PERIOD);
  const bool leaks = __lsan_do_recoverable_leak_check() != 0;
  // Written aside and renamed, so that the reader never sees half a result.
  const std::string done = prefix + ".done";
  const std::string partial = done + ".partial";
  if (FILE* f = std::fopen(partial.c_str(), "w")) {
    std::fputs(leaks ? "leaks\n" : "clean\n", f);
    std::fclose(f);
    std::rename(partial.c_str(), done.c_str());
  }
}

__attribute__((constructor)) void start_leak_check_trigger() {
  const char* prefix = std::getenv("VORN_LEAK_CHECK");
  if (prefix == nullptr || prefix[0] == '\0') return;
  std::thread(wait_and_check, std::string(prefix)).detach();
}

}  // namespace
