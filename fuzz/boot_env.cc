// The boot environment block: a fuzzed entry area (its CRC made to match unless asked not
// to), then get, set and delete of a fuzzed key, each result read back through the CRC check.
#include "settings/boot_env.h"

#include <zlib.h>

#include <cstring>
#include <vector>

#include "fuzz_env.h"
#include "platform/fixed_paths.h"
#include "platform/little_endian.h"

using namespace vorn;
using namespace vorn::settings;

// Input: flags (1 bad CRC, 2 area repeated to its end), key, NUL, value, NUL, entry area.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > BOOTENV_BLOCK_SIZE + 256) return 0;
  std::span<const uint8_t> rest(data + 1, size - 1);
  const std::string key = fuzz::take_text(rest), value = fuzz::take_text(rest);
  std::vector<uint8_t> block(BOOTENV_BLOCK_SIZE);
  const size_t fill = (data[0] & 2) ? BOOTENV_AREA_SIZE : rest.size();
  for (size_t i = 0; !rest.empty() && i < std::min(fill, BOOTENV_AREA_SIZE); ++i) {
    block[BOOTENV_CRC_SIZE + i] = rest[i % rest.size()];
  }
  const uint32_t crc = uint32_t(::crc32(0, &block[BOOTENV_CRC_SIZE], uInt(BOOTENV_AREA_SIZE)));
  platform::store_le32(std::span(block).first<4>(), (data[0] & 1) ? ~crc : crc);
  fuzz::write_file(platform::fixed_path(platform::FixedPath::EMMC_DEVICE), block, BOOTENV_OFFSET);

  if (const char* found = bootenv_get(key.c_str())) (void)std::strlen(found);
  const bool set = bootenv_set(key.c_str(), value.c_str()) == BOOTENV_OK;
  if (set && ((data[0] & 1) || bootenv_read() == nullptr)) std::abort();  // CRC kept right
  const char* stored = bootenv_get(key.c_str());
  if (set && !value.empty() && (stored == nullptr || value != stored)) std::abort();
  if (bootenv_set(key.c_str(), nullptr) == BOOTENV_OK && bootenv_get(key.c_str())) std::abort();
  return 0;
}
