#include "settings/boot_env.h"

#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "core/output.h"
#include "platform/little_endian.h"
#include "settings/boot_env_lock.h"
#include "settings/env_layout.h"
#include "storage/path_io.h"

namespace vorn::settings {

namespace {

// One spare zero byte behind a copy ends a last entry that has no NUL of its own, so that a
// value found there is still a terminated text.
constexpr size_t SPARE = 1;
constexpr size_t FLAGS_AT = BOOTENV_CRC_SIZE;  // the flags byte of a redundant copy

using Bytes = std::unique_ptr<uint8_t[]>;

Bytes allocate(size_t size) { return Bytes(new (std::nothrow) uint8_t[size + SPARE]()); }

// One copy as the last read found it.
struct CopyRead {
  Bytes bytes;
  int64_t offset = 0;  // from the start of the device
  bool valid = false;
};

// The environment as the last read found it: the layout, every copy, and the copy in effect.
struct EnvRead {
  EnvLayout layout{};
  std::array<CopyRead, ENV_COPIES_MAX> copies;
  int current = -1;

  [[nodiscard]] const char* device(int copy) const { return layout.copies[copy].device.data(); }
  [[nodiscard]] std::span<const uint8_t> area() const {
    return {copies[current].bytes.get() + layout.header(), layout.size - layout.header()};
  }
};

std::unique_ptr<EnvRead> g_env;

uint32_t area_crc(const uint8_t* block, const EnvLayout& layout) {
  return static_cast<uint32_t>(
      ::crc32(0L, block + layout.header(), static_cast<uInt>(layout.size - layout.header())));
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

// Writes one copy to its place, flushes it and reads it back past the page cache; false, with
// the step that failed, when it may not have reached the medium whole. A write that a device
// reports done without doing it, or does only in part, shows in the read-back.
bool write_copy(const char* device, int64_t offset, std::span<const uint8_t> block,
                storage::WriteFailure& failure) {
  const auto size = static_cast<int64_t>(block.size());
  if (storage::device_write_at(device, block, offset, /*sync=*/true, /*exclusive=*/false,
                               &failure) != size) {
    if (failure.step == nullptr) failure = {"write", EIO};
    return false;
  }
  uint32_t crc = 0;
  if (storage::device_crc32(device, offset, size, &crc) != size ||
      crc != ::crc32(0L, block.data(), static_cast<uInt>(block.size()))) {
    failure = {"read-back", EIO};
    return false;
  }
  return true;
}

// Reads copy i where the layout puts it (a negative offset counts from the end of the device)
// and checks its CRC.
CopyRead read_copy(const EnvLayout& layout, size_t i) {
  CopyRead copy;
  copy.bytes = allocate(layout.size);
  const char* device = layout.copies[i].device.data();
  copy.offset = layout.copies[i].offset;
  if (copy.offset < 0) copy.offset += storage::path_size(device);
  if (!copy.bytes || copy.offset < 0) return copy;
  copy.valid = storage::path_read_at(device, {copy.bytes.get(), layout.size}, copy.offset) ==
                   static_cast<int64_t>(layout.size) &&
               area_crc(copy.bytes.get(), layout) == stored_crc(copy.bytes.get());
  return copy;
}

// Of two valid copies the one with the newer flags serial is in effect; the serial wraps, so 0
// is newer than 255. Equal serials: the first copy.
int newer_copy(uint8_t first, uint8_t second) {
  if (first == 255 && second == 0) return 1;
  if (second == 255 && first == 0) return 0;
  return second > first ? 1 : 0;
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
  g_env.reset();
  std::unique_ptr<EnvRead> env(new (std::nothrow) EnvRead);
  if (!env || !env_layout_load(env->layout)) return nullptr;
  for (size_t i = 0; i < env->layout.count; ++i) {
    env->copies[i] = read_copy(env->layout, i);
    if (!env->copies[i].bytes) return nullptr;
  }
  const auto& [first, second] = env->copies;
  if (!env->layout.redundant() || !second.valid) {
    env->current = first.valid ? 0 : -1;
  } else {
    env->current = first.valid ? newer_copy(first.bytes[FLAGS_AT], second.bytes[FLAGS_AT]) : 1;
  }
  if (env->current < 0) return nullptr;
  g_env = std::move(env);
  return g_env->copies[g_env->current].bytes.get();
}

const char* bootenv_cached(const char* key) {
  if (key == nullptr || !valid_key(key) || g_env == nullptr) return nullptr;
  Prefix slot;
  const std::string_view prefix = make_prefix(slot, key);
  EntryWalk walk(g_env->area());
  std::string_view entry;
  while (walk.next(entry)) {
    if (entry.starts_with(prefix)) return entry.data() + prefix.size();
  }
  return nullptr;
}

const char* bootenv_find(const char* key) {
  if (key == nullptr || !valid_key(key) || bootenv_read() == nullptr) return nullptr;
  return bootenv_cached(key);
}

int bootenv_store_all(std::span<const BootEnvChange> changes) {
  if (changes.empty() || changes.size() > BOOTENV_CHANGES_MAX) return BOOTENV_FAILED;
  std::array<Prefix, BOOTENV_CHANGES_MAX> slots;
  std::array<std::string_view, BOOTENV_CHANGES_MAX> prefixes;
  for (size_t i = 0; i < changes.size(); ++i) {
    const auto& [key, value] = changes[i];
    if (!valid_key(key) || value.find('\0') != value.npos) return BOOTENV_FAILED;
    prefixes[i] = make_prefix(slots[i], key);
    for (size_t j = 0; j < i; ++j) {
      if (prefixes[j] == prefixes[i]) return BOOTENV_FAILED;
    }
  }
  if (bootenv_read() == nullptr) return BOOTENV_FAILED;
  const EnvRead& env = *g_env;
  const EnvLayout& layout = env.layout;
  Bytes fresh = allocate(layout.size);
  if (!fresh) return BOOTENV_FAILED;

  AreaWriter out({fresh.get() + layout.header(), layout.size - layout.header()});
  EntryWalk walk(env.area());
  std::array<bool, BOOTENV_CHANGES_MAX> found{};
  std::string_view entry;
  while (walk.next(entry)) {
    size_t i = 0;
    while (i < changes.size() && !entry.starts_with(prefixes[i])) ++i;
    if (i == changes.size()) {
      if (!out.put(entry)) return BOOTENV_FAILED;
      continue;
    }
    found[i] = true;
    if (!changes[i].value.empty() && !out.put(prefixes[i], changes[i].value)) {
      return BOOTENV_FAILED;
    }
  }
  for (size_t i = 0; i < changes.size(); ++i) {
    if (found[i] || changes[i].value.empty()) continue;
    // Behind an area without terminator a new entry has no place: refuse instead of reporting
    // success for a value that was not stored.
    if (walk.cut() || !out.put(prefixes[i], changes[i].value)) return BOOTENV_FAILED;
  }
  if (!out.terminated()) return BOOTENV_FAILED;

  // A redundant environment is written into the copy not in effect, with the next serial: a
  // write that tears leaves the copy in effect whole.
  const int target = layout.redundant() ? 1 - env.current : 0;
  if (layout.redundant()) {
    fresh[FLAGS_AT] = static_cast<uint8_t>(env.copies[env.current].bytes[FLAGS_AT] + 1);
  }
  put_crc(fresh.get(), area_crc(fresh.get(), layout));
  const char* device = env.device(target);
  const int64_t offset = env.copies[target].offset;
  const auto place = static_cast<unsigned long long>(offset);
  storage::WriteFailure failure;
  if (write_copy(device, offset, {fresh.get(), layout.size}, failure)) return BOOTENV_OK;
  core::info_printf("[Error] Boot Env Write Fail(%s@0x%llx)(%s: %s)!\n", device, place,
                    failure.step, std::strerror(failure.error));
  // The medium may now hold the new copy, the old one, or a mix of both that fails its CRC (a
  // write that stopped part way, a flush that failed). What the copy held is written back, so
  // that the failure reported means what it says: the old entries stay in effect.
  if (write_copy(device, offset, {env.copies[target].bytes.get(), layout.size}, failure)) {
    core::info_printf("Boot Env Restored(%s@0x%llx)\n", device, place);
  } else {
    core::info_printf("[Error] Boot Env Restore Fail(%s@0x%llx)(%s: %s)!\n", device, place,
                      failure.step, std::strerror(failure.error));
  }
  return BOOTENV_FAILED;
}

int bootenv_store(std::string_view key, std::string_view value) {
  const BootEnvChange change{key, value};
  return bootenv_store_all({&change, 1});
}

const char* bootenv_get(const char* key) {
  if (key == nullptr) return nullptr;
  BootEnvLockGuard lock;
  if (!lock.held()) return nullptr;
  return bootenv_find(key);
}

int bootenv_set_value(std::string_view key, std::string_view value) {
  const BootEnvChange change{key, value};
  return bootenv_set_all({&change, 1});
}

int bootenv_set_all(std::span<const BootEnvChange> changes) {
  BootEnvLockGuard lock;
  if (!lock.held()) return BOOTENV_FAILED;
  return bootenv_store_all(changes);
}

int bootenv_set(const char* key, const char* value) {
  if (key == nullptr) return BOOTENV_FAILED;
  return bootenv_set_value(key, value != nullptr ? std::string_view(value) : std::string_view());
}

}  // namespace vorn::settings
