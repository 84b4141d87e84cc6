#include "fuzz_env.h"

#include <fcntl.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/output.h"
#include "image/field_table.h"
#include "image/header_report.h"
#include "image/integrity.h"
#include "platform/fixed_paths_table.h"
#include "platform/little_endian.h"
#include "platform/log.h"
#include "platform/unique_fd.h"

using namespace vorn;

namespace {
std::string g_dir;
std::array<std::string, static_cast<size_t>(platform::FixedPath::COUNT_)> g_fixed;
std::vector<uint8_t> g_buffer;
image::HeaderHandle g_handle;
}  // namespace

// Once per process, before the first input: the scratch directory (removed at exit) with every
// fixed path in it, standard output to /dev/null, the log to nowhere.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // tmpfs where there is one: the boot environment is flushed on every run.
  for (std::string dir : {"/dev/shm", "/tmp"}) {
    if (::mkdtemp((dir += "/vorn-fuzz-XXXXXX").data()) != nullptr) g_dir = dir;
    if (!g_dir.empty()) break;
  }
  if (g_dir.empty() || std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  for (size_t i = 0; i < g_fixed.size(); ++i) {
    g_fixed[i] = g_dir + "/fixed-" + std::to_string(i);
    platform::detail::g_paths[i] = g_fixed[i].c_str();
  }
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
  });
  platform::set_log_sink([](int, const char*) {});
  return 0;
}

namespace vorn::fuzz {

std::string scratch(const char* name) { return g_dir + "/" + name; }

void write_file(const std::string& path, std::span<const uint8_t> bytes, long offset) {
  platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || ::pwrite(fd.get(), bytes.data(), bytes.size(), offset) != ssize_t(bytes.size())) {
    std::abort();
  }
}

std::string take_text(std::span<const uint8_t>& data) {
  const auto* nul = static_cast<const uint8_t*>(std::memchr(data.data(), 0, data.size()));
  const size_t n = nul ? size_t(nul - data.data()) : data.size();
  std::string text(reinterpret_cast<const char*>(data.data()), n);
  data = data.subspan(nul ? n + 1 : n);
  return text;
}

image::HeaderHandle& load_header(uint32_t form, std::string_view bytes, uint32_t capacity,
                                 uint32_t data_len) {
  g_buffer.assign(std::max(capacity, image::HEADER_SIZE), 0);
  (void)image::header_init(&g_handle, "fuzz", g_buffer.data(), uint32_t(g_buffer.size()));
  std::memcpy(g_buffer.data(), bytes.data(), std::min(bytes.size(), g_buffer.size()));
  g_handle.form = form;
  g_handle.data_len = data_len;
  return g_handle;
}

void seal(image::HeaderHandle& handle) {
  uint32_t sum = 0, crc = 0;
  const auto slot = [&](const char* name) {
    return handle.data + image::field_find(name, 1)->offset;
  };
  (void)image::header_sha1(&handle, slot("hdr_sha1"), image::SHA1_SIZE);
  (void)image::header_checksum(&handle, &sum, sizeof sum);
  (void)image::header_crc32(&handle, &crc, sizeof crc);
  platform::store_le32(std::span<uint8_t, 4>(slot("hdr_checksum"), 4), sum);
  platform::store_le32(std::span<uint8_t, 4>(slot("hdr_crc32"), 4), crc);
}

void exercise_header(image::HeaderHandle& handle) {
  for (const image::HeaderFieldDesc& row : image::FIELD_TABLE) {
    for (uint32_t capacity : {1u, 4u, 8u, 16u, 20u, 64u, 1024u}) {
      std::vector<uint8_t> out(capacity);
      uint32_t len = capacity;
      const int got = image::header_get_field(row.name, &handle, row.type, out.data(), &len);
      if (got > 0 && len > capacity) std::abort();
    }
  }
  core::set_verbosity(core::VERBOSITY_NORMAL);
  for (int method : {0, 1, 2, 3}) (void)image::header_check(&handle, method);
  (void)image::header_print_report(&handle);
}

}  // namespace vorn::fuzz
