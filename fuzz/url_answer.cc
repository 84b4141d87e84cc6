// A server's answer to a range request, checked before a byte of it is taken: a fuzzed status,
// Content-Length and Content-Range for a fuzzed first byte and known length.

#include <array>
#include <cstdlib>
#include <span>

#include "fuzz_env.h"
#include "storage/url_source.h"

using namespace vorn;

// Input: the first byte asked for, the length known (-1: none), the Content-Length (-1: none),
// each as decimal text and a NUL; then 2 bytes choosing the status; then the Content-Range.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 512) return 0;
  std::span<const uint8_t> rest(data, size);
  const int64_t from = std::atoll(fuzz::take_text(rest).c_str());
  const int64_t known = std::atoll(fuzz::take_text(rest).c_str());
  const int64_t length = std::atoll(fuzz::take_text(rest).c_str());
  if (rest.size() < 2) return 0;
  const long status = 200 + rest[0] % 8 + (rest[1] & 1) * 200;  // 200..207, 400..407
  const std::string range(reinterpret_cast<const char*>(rest.data() + 2), rest.size() - 2);
  int64_t total = known < 0 ? -1 : known;
  std::array<char, 160> why{};
  const int r = storage::url_answer_check({status, length, range}, from, &total, why);
  // An answer taken comes from the byte asked for of a length that did not change.
  if (r == storage::URL_OK) {
    if ((status != 200 && status != 206) || (status == 200 && from != 0)) std::abort();
    if (known >= 0 && total != known) std::abort();
  } else if (why[0] == '\0' || (known >= 0 && total != known)) {
    std::abort();
  }
  return 0;
}
