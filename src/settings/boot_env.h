#pragma once

// The boot environment: entries "key=value" (each ended by a NUL, the list ended by an empty
// entry), protected by a CRC-32 of the entry area stored little-endian in front of it. It is
// an 8 KiB block at a fixed offset of the whole eMMC device, or where the boot loader's
// configuration puts it, possibly in two copies (env_layout.h). Every access reads the device;
// accesses of all processes are serialised by the lock of boot_env_lock.h.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorn::settings {

inline constexpr int32_t BOOTENV_OFFSET = 0xC0000;
inline constexpr size_t BOOTENV_BLOCK_SIZE = 8192;
inline constexpr size_t BOOTENV_CRC_SIZE = 4;
inline constexpr size_t BOOTENV_AREA_SIZE = BOOTENV_BLOCK_SIZE - BOOTENV_CRC_SIZE;  // 8188
inline constexpr size_t BOOTENV_KEY_MAX = 62;  // the key, "=" and a NUL fit in 64 bytes

inline constexpr int BOOTENV_OK = 0;
inline constexpr int BOOTENV_FAILED = -1;

// Most keys one store changes at once.
inline constexpr size_t BOOTENV_CHANGES_MAX = 8;

// A key and its new value; an empty value deletes the key.
struct BootEnvChange {
  std::string_view key;
  std::string_view value;
};

// Reads the environment from the device into the process-wide cache (replacing the previous
// one) and validates it: of a redundant environment the valid copy with the newer serial. The
// cached copy in effect (its whole size), or null when the layout is unusable, no copy can be
// read in full with a matching CRC, or no memory is left. No lock taken.
[[nodiscard]] const uint8_t* bootenv_read();

// Value of the first entry with the key, pointing into the cached copy (valid until the next
// read of the block in this process); null for an absent, empty or over-long key (more than
// BOOTENV_KEY_MAX characters), an invalid block or a key that is not there. No lock taken.
[[nodiscard]] const char* bootenv_find(const char* key);

// As bootenv_find in what the last read cached, without reading the device again, so that
// several keys come from one read; null also when nothing valid is cached. No lock taken.
[[nodiscard]] const char* bootenv_cached(const char* key);

// Rewrites the block with every entry of the key replaced by key=value in place (appended at
// the end when there is none); an empty value deletes every entry of the key. A redundant
// environment is written into the copy not in effect, with the next serial. The block
// reaches the device durably (flushed) before BOOTENV_OK is returned. BOOTENV_FAILED, with the
// device untouched, for: a key that is empty, longer than BOOTENV_KEY_MAX or holds "=" or a
// NUL; a value holding a NUL; an invalid block; a result that would not fit the entry area
// with its terminating empty entry (also a new key behind an area without terminator). A
// write or flush that fails also gives BOOTENV_FAILED, after a message naming the failed step
// and after what the copy held has been written back and flushed (a second message says
// whether that worked), so that a failure leaves the old entries in effect. No lock taken.
[[nodiscard]] int bootenv_store(std::string_view key, std::string_view value);

// As bootenv_store for several keys in one write of the block: all of them change or none.
// New keys are appended in the order given. BOOTENV_FAILED as for bootenv_store, and for no
// change, more than BOOTENV_CHANGES_MAX or one key given twice. No lock taken.
[[nodiscard]] int bootenv_store_all(std::span<const BootEnvChange> changes);

// As bootenv_find, between bootenv_lock and bootenv_unlock. An absent key returns null
// without taking the lock; so does a lock that cannot be taken at all.
[[nodiscard]] const char* bootenv_get(const char* key);

// As bootenv_store, between bootenv_lock and bootenv_unlock. An absent key gives
// BOOTENV_FAILED; an absent value deletes the key. BOOTENV_FAILED when the lock cannot be taken.
[[nodiscard]] int bootenv_set(const char* key, const char* value);

// As bootenv_set, for a value given with its length (which must not hold a NUL).
[[nodiscard]] int bootenv_set_value(std::string_view key, std::string_view value);

// As bootenv_store_all, between bootenv_lock and bootenv_unlock; BOOTENV_FAILED also when the
// lock cannot be taken.
[[nodiscard]] int bootenv_set_all(std::span<const BootEnvChange> changes);

}  // namespace vorn::settings
