#pragma once

// Byte I/O on a path (a regular file or a block device) at a byte offset. Each call opens and
// closes its own descriptor. Results: bytes transferred (or the size); 0 when the path cannot
// be opened or the seek does not land where asked; -1 for an absent path or buffer.
// Offsets and sizes at or beyond 2 GiB are outside the model.

#include <cstdint>
#include <span>

namespace vorn::storage {

// Reads up to out.size() bytes at offset; a short count at end of file is no error.
[[nodiscard]] int32_t path_read_at(const char* path, std::span<uint8_t> out, int32_t offset);

// As path_read_at, but never reads more than the file's whole size in total.
[[nodiscard]] int32_t path_read_capped(const char* path, std::span<uint8_t> out, int32_t offset);

// File write: creates the file (mode 0644) and truncates it first, so the file ends after the
// bytes written and bytes before offset read as zero.
[[nodiscard]] int32_t path_write_at(const char* path, std::span<const uint8_t> data,
                                    int32_t offset);

// Raw write into an existing node (a block device): never creates a file, so a missing device
// node gives 0 instead of a regular file in /dev. With sync set the data is flushed to the
// device (fdatasync) before the count is returned; a failed flush gives 0.
[[nodiscard]] int32_t device_write_at(const char* path, std::span<const uint8_t> data,
                                      int32_t offset, bool sync);

// Size in bytes; 0 for a path that cannot be opened (a missing file has size 0).
[[nodiscard]] int32_t path_size(const char* path);

}  // namespace vorn::storage
