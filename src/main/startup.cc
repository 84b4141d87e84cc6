#include "main/startup.h"

#include <cstring>
#include <string_view>

#include "cli/dispatcher.h"
#include "daemon/daemon_main.h"

namespace vorn {

int vorn_main(int argc, char** argv) {
  common_startup();
  return cli::dispatch(argc, argv, {});
}

int personality_main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return 0;
  if (const char* slash = std::strrchr(argv[0], '/')) argv[0] = const_cast<char*>(slash + 1);
  const std::string_view name = argv[0];
  if (name == "vornd") daemon::daemon_main(argc, argv);
  if (name == "vorn") return vorn_main(argc, argv);
  return 0;
}

}  // namespace vorn
