#include "settings/boot_env.h"

#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "core/output.h"
#include "platform/fixed_paths.h"
#include "platform/little_endian.h"
#include "settings/boot_env_lock.h"
#include "storage/path_io.h"

namespace vorn::settings {

namespace {

using platform::FixedPath;

// One spare zero byte behind the block ends a last entry that has no NUL of its own, so
// that a value found there is still a terminated text.
constexpr size_t CACHE_SIZE = BOOTENV_BLOCK_SIZE + 1;

std::unique_ptr<uint8_t[]> g_cache;

uint32_t area_crc(const uint8_t* block) {
  return static_cast<uint32_t>(
      ::crc32(0L, block + BOOTENV_CRC_SIZE, static_cast<uInt>(BOOTENV_AREA_SIZE)));
}

uint32_t stored_crc(const uint8_t* block) {
  return platform::load_le32(std::span<const uint8_t, BOOTENV_CRC_SIZE>(block, BOOTENV_CRC_SIZE));
}

void put_crc(uint8_t* block, uint32_t crc) {
  platform::store_le32(std::span<uint8_t, BOOTENV_CRC_SIZE>(block, BOOTENV_CRC_SIZE), crc);
}

bool valid_key(std::string_view key) {
  return !key.empty() && key.size() <= BOOTENV_KEY_MAX && key.find_first_of("=") == key.npos &&
         key.find('\0') == key.npos;
}

// "key=" for a valid key.
using Prefix = std::array<char, BOOTENV_KEY_MAX + 2>;
std::string_view make_prefix(Prefix& slot, std::string_view key) {
  std::memcpy(slot.data(), key.data(), key.size());
  slot[key.size()] = '=';
  return {slot.data(), key.size() + 1};
}

// Walks the entries of the area in order. The walk ends at the first empty entry, or once
// the bytes passed (each entry with its NUL) leave no room for a further entry: then it was
// cut, and the last entry may be a fragment that reaches the end of the area without a NUL.
class EntryWalk {
 public:
  explicit EntryWalk(std::span<const uint8_t> area) : area_(area) {}

  bool next(std::string_view& entry) {
    if (done_) return false;
    const uint8_t* at = area_.data() + passed_;
    if (*at == 0) {
      done_ = true;
      return false;
    }
    const size_t room = area_.size() - passed_;
    const void* nul = std::memchr(at, 0, room);
    const size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - at) : room;
    entry = {reinterpret_cast<const char*>(at), length};
    passed_ += length + 1;
    if (passed_ >= area_.size()) done_ = cut_ = true;
    return true;
  }

  [[nodiscard]] bool cut() const { return cut_; }

 private:
  std::span<const uint8_t> area_;
  size_t passed_ = 0;
  bool done_ = false;
  bool cut_ = false;
};

// Writes a whole block to the device, flushes it and reads it back past the page cache; false,
// with the step that failed, when it may not have reached the medium whole. A write that a
// device reports done without doing it, or does only in part, shows in the read-back.
bool write_block(const uint8_t* block, storage::WriteFailure& failure) {
  const char* device = platform::fixed_path(FixedPath::EMMC_DEVICE);
  const int64_t written =
      storage::device_write_at(device, {block, BOOTENV_BLOCK_SIZE}, BOOTENV_OFFSET,
                               /*sync=*/true, /*exclusive=*/false, &failure);
  if (written != static_cast<int64_t>(BOOTENV_BLOCK_SIZE)) {
    if (failure.step == nullptr) failure = {"write", EIO};
    return false;
  }
  uint32_t crc = 0;
  if (storage::device_crc32(device, BOOTENV_OFFSET, BOOTENV_BLOCK_SIZE, &crc) !=
          static_cast<int64_t>(BOOTENV_BLOCK_SIZE) ||
      crc != ::crc32(0L, block, static_cast<uInt>(BOOTENV_BLOCK_SIZE))) {
    failure = {"read-back", EIO};
    return false;
  }
  return true;
}

std::span<const uint8_t> area_of(const uint8_t* block) {
  return {block + BOOTENV_CRC_SIZE, BOOTENV_AREA_SIZE};
}

// Fills a zeroed entry area front to back; refuses what would not fit.
class AreaWriter {
 public:
  explicit AreaWriter(std::span<uint8_t> area) : area_(area) {}

  // Writes head and tail as one entry with its NUL (the area is zero already).
  [[nodiscard]] bool put(std::string_view head, std::string_view tail = {}) {
    const size_t need = head.size() + tail.size() + 1;
    if (need > area_.size() - used_) return false;
    head.copy(reinterpret_cast<char*>(area_.data() + used_), head.size());
    tail.copy(reinterpret_cast<char*>(area_.data() + used_ + head.size()), tail.size());
    used_ += need;
    return true;
  }

  // The terminating empty entry still fits behind the entries written.
  [[nodiscard]] bool terminated() const { return used_ < area_.size(); }

 private:
  std::span<uint8_t> area_;
  size_t used_ = 0;
};

}  // namespace

const uint8_t* bootenv_read() {
  g_cache.reset();
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[CACHE_SIZE]());
  if (!block) return nullptr;
  const int64_t got = storage::path_read_at(platform::fixed_path(FixedPath::EMMC_DEVICE),
                                            {block.get(), BOOTENV_BLOCK_SIZE}, BOOTENV_OFFSET);
  if (got != static_cast<int64_t>(BOOTENV_BLOCK_SIZE)) return nullptr;
  if (area_crc(block.get()) != stored_crc(block.get())) return nullptr;
  g_cache = std::move(block);
  return g_cache.get();
}

const char* bootenv_find(const char* key) {
  if (key == nullptr || !valid_key(key)) return nullptr;
  const uint8_t* block = bootenv_read();
  if (block == nullptr) return nullptr;
  Prefix slot;
  const std::string_view prefix = make_prefix(slot, key);
  EntryWalk walk(area_of(block));
  std::string_view entry;
  while (walk.next(entry)) {
    if (entry.starts_with(prefix)) return entry.data() + prefix.size();
  }
  return nullptr;
}

int bootenv_store(std::string_view key, std::string_view value) {
  if (!valid_key(key) || value.find('\0') != value.npos) return BOOTENV_FAILED;
  const uint8_t* block = bootenv_read();
  if (block == nullptr) return BOOTENV_FAILED;
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[BOOTENV_BLOCK_SIZE]());
  if (!fresh) return BOOTENV_FAILED;

  Prefix slot;
  const std::string_view prefix = make_prefix(slot, key);
  const bool deletion = value.empty();
  AreaWriter out({fresh.get() + BOOTENV_CRC_SIZE, BOOTENV_AREA_SIZE});
  EntryWalk walk(area_of(block));
  bool found = false;
  std::string_view entry;
  while (walk.next(entry)) {
    if (!entry.starts_with(prefix)) {
      if (!out.put(entry)) return BOOTENV_FAILED;
      continue;
    }
    found = true;
    if (!deletion && !out.put(prefix, value)) return BOOTENV_FAILED;
  }
  if (!found && !deletion) {
    // Behind an area without terminator the new entry has no place: refuse instead of
    // reporting success for a value that was not stored.
    if (walk.cut() || !out.put(prefix, value)) return BOOTENV_FAILED;
  }
  if (!out.terminated()) return BOOTENV_FAILED;

  put_crc(fresh.get(), area_crc(fresh.get()));
  storage::WriteFailure failure;
  if (write_block(fresh.get(), failure)) return BOOTENV_OK;
  const char* device = platform::fixed_path(FixedPath::EMMC_DEVICE);
  core::info_printf("[Error] Boot Env Write Fail(%s@0x%x)(%s: %s)!\n", device, BOOTENV_OFFSET,
                    failure.step, std::strerror(failure.error));
  // The medium may now hold the new block, the old one, or a mix of both that fails its CRC
  // (a write that stopped part way, a flush that failed). The old block is written back, so
  // that the failure reported means what it says: the old entries stay in effect.
  if (write_block(block, failure)) {
    core::info_printf("Boot Env Restored(%s@0x%x)\n", device, BOOTENV_OFFSET);
  } else {
    core::info_printf("[Error] Boot Env Restore Fail(%s@0x%x)(%s: %s)!\n", device, BOOTENV_OFFSET,
                      failure.step, std::strerror(failure.error));
  }
  return BOOTENV_FAILED;
}

const char* bootenv_get(const char* key) {
  if (key == nullptr) return nullptr;
  BootEnvLockGuard lock;
  if (!lock.held()) return nullptr;
  return bootenv_find(key);
}

int bootenv_set_value(std::string_view key, std::string_view value) {
  BootEnvLockGuard lock;
  if (!lock.held()) return BOOTENV_FAILED;
  return bootenv_store(key, value);
}

int bootenv_set(const char* key, const char* value) {
  if (key == nullptr) return BOOTENV_FAILED;
  return bootenv_set_value(key, value != nullptr ? std::string_view(value) : std::string_view());
}

}  // namespace vorn::settings
