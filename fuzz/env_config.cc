// The boot loader's environment configuration (/etc/fw_env.config): a fuzzed text parsed into
// the places of the copies. Only parsed: its device paths must never be opened here.
#include <cstdlib>

#include "settings/env_layout.h"

using namespace vorn::settings;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > ENV_CONFIG_MAX) return 0;
  EnvLayout layout;
  EnvConfigError error;
  if (!env_layout_parse({reinterpret_cast<const char*>(data), size}, layout, error)) {
    if (error.line < 1 || error.reason == nullptr) std::abort();
    return 0;
  }
  if (layout.count < 1 || layout.count > ENV_COPIES_MAX || layout.size < ENV_SIZE_MIN ||
      layout.size > ENV_SIZE_MAX || layout.copies[0].device[0] != '/') {
    std::abort();
  }
  return 0;
}
