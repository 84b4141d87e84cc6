// "infos" field lists: the whole command over an image file holding a fuzzed binary header,
// or the field printer over a fuzzed text form, with the daemon's reply buffer in place.
#include <array>
#include <cstring>

#include "cli/infos_command.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "fuzz_env.h"

using namespace vorn;

// Input: flags (1 seal, 2 text form), the field list, a NUL, the header.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  std::span<const uint8_t> rest(data + 1, size - 1);
  std::string list = fuzz::take_text(rest);
  const std::string_view header(reinterpret_cast<const char*>(rest.data()), rest.size());
  const uint32_t form = (data[0] & 2) ? image::FORM_TEXT : image::FORM_BINARY;
  image::HeaderHandle& handle = fuzz::load_header(form, header, cli::INFOS_HEADER_BUFFER_SIZE,
                                                  uint32_t(std::min<size_t>(header.size(), 2047)));
  std::array<char, core::REPLY_BUFFER_SIZE> reply{};
  core::set_reply_buffer(reply);
  core::set_verbosity(core::VERBOSITY_QUIET);
  if (form == image::FORM_TEXT) {
    (void)cli::infos_print_fields(&handle, list.data());
  } else {
    if (data[0] & 1) fuzz::seal(handle);
    const std::string path = fuzz::scratch("image.vif");
    fuzz::write_file(path, {handle.data, handle.data_len});
    (void)cli::cmd_infos(("file@!," + path).c_str(), list.data());
  }
  core::set_reply_buffer({});
  if (std::memchr(reply.data(), 0, reply.size()) == nullptr) std::abort();
  return 0;
}
