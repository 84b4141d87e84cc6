#include "platform/curl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace vorn::platform {

namespace {

template <typename Fn>
bool resolve(void* library, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(::dlsym(library, name));
  return out != nullptr;
}

// Resolves the table from one library file; false (the library closed again) when it cannot.
bool load(const char* file, CurlApi& api) {
  void* library = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  decltype(&curl_global_init) global_init = nullptr;
  const bool found = resolve(library, "curl_global_init", global_init) &&
                     resolve(library, "curl_easy_init", api.easy_init) &&
                     resolve(library, "curl_easy_cleanup", api.easy_cleanup) &&
                     resolve(library, "curl_easy_setopt", api.easy_setopt) &&
                     resolve(library, "curl_easy_perform", api.easy_perform) &&
                     resolve(library, "curl_easy_getinfo", api.easy_getinfo) &&
                     resolve(library, "curl_easy_strerror", api.easy_strerror);
  // Initialised once, here, rather than by the first easy handle: that implicit start is not
  // safe while another thread uses the library.
  if (found && global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) return true;
  (void)::dlclose(library);
  return false;
}

}  // namespace

const CurlApi* curl_api() {
  static std::once_flag once;
  static CurlApi api{};
  static bool loaded = false;
  std::call_once(once, [] {
    // The soname first, as the board installs it; the build's own library file behind it.
    for (const char* file : {"libcurl.so.4", VORN_LIBCURL_PATH}) {
      if (load(file, api)) {
        loaded = true;
        return;
      }
    }
  });
  return loaded ? &api : nullptr;
}

}  // namespace vorn::platform
