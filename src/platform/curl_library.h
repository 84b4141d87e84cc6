#pragma once

// libcurl, loaded on first use. Every command is a process of its own, and linking libcurl
// would load it and its thirty-odd shared dependencies at each start; only a command that
// fetches a URL pays for them.

#include <curl/curl.h>

#include <memory>

namespace vorn::platform {

// The functions of the loaded library that the system calls.
struct CurlApi {
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_cleanup) easy_cleanup;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_perform) easy_perform;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_strerror) easy_strerror;
};

// The library's functions, loaded (and the library initialised) on the first call; null when
// it cannot be loaded or lacks one of them. Safe from any thread.
[[nodiscard]] const CurlApi* curl_api();

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_api()->easy_cleanup(handle); }
};
// An easy handle, cleaned up with its owner.
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

}  // namespace vorn::platform
