#pragma once

// Byte I/O behind a parsed locator (raw windows of a region copy's device, files inside a
// region's file system) and behind a locator text. Offsets and sizes are 64-bit. Results: bytes
// transferred (or the size); 0 when the path cannot be opened or the seek fails; -1 for absent
// arguments, a locator that does not parse, a failed mount, a buffer too small for a raw
// window, or a raw write to a mounted device. A count short of what was asked means the
// transfer failed part way (or, for reads, the end of the file).

#include <cstdint>
#include <optional>
#include <span>

#include "platform/unique_fd.h"
#include "storage/image_locator.h"

namespace vorn::storage {

using RawReadFn = int64_t (*)(const ImageLocator*, std::span<uint8_t>, int64_t offset);
using RawWriteFn = int64_t (*)(const ImageLocator*, std::span<const uint8_t>, int64_t offset);
using SizeFn = int64_t (*)(const ImageLocator*);
using OpenFn = std::optional<platform::UniqueFd> (*)(const ImageLocator*);

inline constexpr uint32_t ACCESS_RAW = 1;   // the source's header can be read raw
inline constexpr uint32_t ACCESS_FILE = 2;  // the source can be read as a file

// One row of the region table: which kinds of access a kind of source supports.
struct RegionOps {
  const char* prefix;
  uint32_t access_kinds;
  RawReadFn read_raw;
  RawWriteFn write_raw;
  RawReadFn read_file;
  RawWriteFn write_file;
  SizeFn file_size;
  OpenFn open_file;
  uint32_t prefix_len;  // leading characters compared; 0 compares the whole name
};

// First row whose prefix matches the name, or null (also for an absent name).
[[nodiscard]] const RegionOps* region_ops_find(const char* name);

// Region operations; each reads or writes the whole span.
int64_t read_raw(const ImageLocator* locator, std::span<uint8_t> buffer, int64_t offset);
// Refused (-1) while the device is mounted; writes only into an existing device node.
int64_t write_raw(const ImageLocator* locator, std::span<const uint8_t> data, int64_t offset);
// The file of a file locator, opened once for a series of reads: a plain file by its path
// (links followed, the user named it), a file of a device's file system resolved from where
// that file system is mounted (mounted read-only on the private mount point when it is mounted
// nowhere; the caller releases the locator), never through a link (see open_beneath). Only a
// regular file is opened, so that no read waits on a FIFO. Nothing (std::nullopt) for an absent
// or raw locator or a failed mount; an invalid descriptor when the file cannot be opened or is
// not a regular file, which readers take as an empty file.
[[nodiscard]] std::optional<platform::UniqueFd> open_file(const ImageLocator* locator);
int64_t read_file(const ImageLocator* locator, std::span<uint8_t> buffer, int64_t offset);
int64_t write_file(const ImageLocator* locator, std::span<const uint8_t> data, int64_t offset);
int64_t file_size(const ImageLocator* locator);

// Locator operations. For a raw locator the window in the text wins: offset and length are
// not used and exactly raw_size bytes move from or to the start of the buffer, which must hold
// that many (else -1). For a file locator length bytes move at offset (length must not exceed
// the buffer). The caller releases the text (locator_release) after file operations.
[[nodiscard]] int64_t locator_size(const char* text);
[[nodiscard]] int64_t locator_read(const char* text, std::span<uint8_t> buffer, int64_t offset,
                                   int64_t length);
[[nodiscard]] int64_t locator_write(const char* text, std::span<const uint8_t> buffer,
                                    int64_t offset, int64_t length);

// For a raw locator, operations on its device as a whole: the size of the device (0 when it
// cannot be opened), the flush of everything written to it (0, or -1 when it fails), and the
// CRC-32 of its window read back past the page cache (the bytes read, fewer than raw_size when
// the device ends or a read fails). Each gives -1 for a text that does not parse or is not raw.
[[nodiscard]] int64_t locator_device_size(const char* text);
[[nodiscard]] int locator_sync(const char* text);
[[nodiscard]] int64_t locator_crc32(const char* text, uint32_t* crc);

// open_file on a locator text: the file, or an invalid descriptor when the text does not
// parse, is raw, its file system cannot be mounted, or the file cannot be opened. The caller
// releases the text (locator_release) when it is done with the descriptor.
[[nodiscard]] platform::UniqueFd locator_open(const char* text);

// Keeps the device of a raw locator open (read-only, shared) for the life of the descriptor.
// The kernel flushes a block device and drops its cache whenever its last descriptor closes, so
// a series of writes through one locator each should be made while a hold is kept. An invalid
// descriptor when the text does not parse, is not raw, or the device cannot be opened.
[[nodiscard]] platform::UniqueFd locator_hold(const char* text);

}  // namespace vorn::storage
