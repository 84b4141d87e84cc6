#pragma once

// Byte I/O on a path (a regular file or a block device) at a byte offset. Each call opens and
// closes its own descriptor; reads refuse anything else (a FIFO, a character device) as a path
// that cannot be opened, so that no read ever waits for a writer. Offsets and sizes are 64-bit: a
// region copy may hold several GiB. Results: bytes transferred (or the size); 0 when the path
// cannot be opened or the seek does not land where asked; -1 for an absent path or buffer.

#include <cstdint>
#include <span>

#include "platform/unique_fd.h"

namespace vorn::storage {

// device_write_at's answer for a block device that is in use (mounted): nothing was written.
inline constexpr int64_t DEVICE_BUSY = -1;

// Reads up to out.size() bytes at offset; a short count at end of file is no error.
[[nodiscard]] int64_t path_read_at(const char* path, std::span<uint8_t> out, int64_t offset);

// As path_read_at, but never reads more than the file's whole size in total.
[[nodiscard]] int64_t path_read_capped(const char* path, std::span<uint8_t> out, int64_t offset);

// As path_read_capped, on a file opened already (the descriptor's position is not used nor
// moved). 0 also for an invalid descriptor or a negative offset.
[[nodiscard]] int64_t fd_read_capped(const platform::UniqueFd& fd, std::span<uint8_t> out,
                                     int64_t offset);

// File write: creates the file (mode 0644) and truncates it first, so the file ends after the
// bytes written and bytes before offset read as zero.
[[nodiscard]] int64_t path_write_at(const char* path, std::span<const uint8_t> data,
                                    int64_t offset);

// The step of a device write that failed and the errno it gave, for messages that name it.
struct WriteFailure {
  const char* step = nullptr;  // "open", "seek", "write" or "fdatasync"; null when none failed
  int error = 0;
};

// Raw write into an existing node (a block device): never creates a file, so a missing device
// node gives 0 instead of a regular file in /dev. With exclusive set a block device is opened
// exclusively (O_EXCL): a device that a file system holds (mounted in any mount namespace)
// gives DEVICE_BUSY, and it cannot be mounted while the write runs. (A whole disk is busy while
// any of its partitions is mounted, so writes into the whole disk are not exclusive.) With sync
// set the data is flushed to the device (fdatasync) before the count is returned; a failed
// flush gives 0. A short count (0 included) means the write failed, possibly part way; then
// *failure (when given) says which step failed.
[[nodiscard]] int64_t device_write_at(const char* path, std::span<const uint8_t> data,
                                      int64_t offset, bool sync, bool exclusive,
                                      WriteFailure* failure = nullptr);

// Flushes everything written to the path to its device (fdatasync). 0, or -1 when the path is
// absent, cannot be opened or the flush fails.
[[nodiscard]] int device_sync(const char* path);

// Flushes the file system mounted at dir (syncfs), data and metadata, and reports a write-back
// error that an unmount would not. 0, or -1 when dir is absent, cannot be opened or the flush
// fails.
[[nodiscard]] int fs_sync(const char* dir);

// Reads length bytes at offset past the page cache (O_DIRECT; where the file system refuses
// it, the cached pages are dropped first) and gives their CRC-32 (zlib's, started from 0) in
// *crc. Returns the bytes read (fewer at the end of the file or on a read error), 0 when the
// path cannot be opened, -1 for an absent path or crc or a negative offset or length.
[[nodiscard]] int64_t device_crc32(const char* path, int64_t offset, int64_t length, uint32_t* crc);

// Size in bytes (of a block device too); 0 for a path that cannot be opened (a missing file
// has size 0); -1 for an absent path.
[[nodiscard]] int64_t path_size(const char* path);

// Size of a file or block device opened already (its position is moved to 0); 0 for an invalid
// descriptor or one whose end cannot be found.
[[nodiscard]] int64_t fd_size(const platform::UniqueFd& fd);

}  // namespace vorn::storage
