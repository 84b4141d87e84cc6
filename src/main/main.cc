// The entry of both personalities: the base name under which the program is started chooses.

#include <cstring>
#include <string_view>

#include "cli/common_startup.h"
#include "cli/dispatcher.h"
#include "daemon/daemon_main.h"

// "vorn" runs one command and returns its result as the exit status; "vornd" serves the init
// socket and never returns; any other name exits with 0 and prints nothing.
int main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return 0;
  if (const char* slash = std::strrchr(argv[0], '/')) argv[0] = const_cast<char*>(slash + 1);
  const std::string_view name = argv[0];
  if (name == "vornd") vorn::daemon::daemon_main(argc, argv);
  if (name != "vorn") return 0;
  vorn::cli::common_startup();
  return vorn::cli::dispatch(argc, argv, {});
}
