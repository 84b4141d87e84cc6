#include "storage/path_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/io.h"
#include "platform/unique_fd.h"

namespace vorn::storage {

namespace {

using platform::UniqueFd;

bool seek_to(const UniqueFd& fd, int32_t offset) {
  return offset >= 0 && ::lseek(fd.get(), offset, SEEK_SET) == static_cast<off_t>(offset);
}

// Bytes read until want arrived or the file ended; an error counts as the end.
int32_t read_loop(const UniqueFd& fd, uint8_t* out, size_t want) {
  const ssize_t n = platform::read_fully(fd.get(), out, want);
  return n > 0 ? static_cast<int32_t>(n) : 0;
}

// All of data, or 0 when a write failed.
int32_t write_loop(const UniqueFd& fd, std::span<const uint8_t> data) {
  const ssize_t n = platform::write_fully(fd.get(), data.data(), data.size());
  return n > 0 ? static_cast<int32_t>(n) : 0;
}

bool absent(const char* path, const void* buffer) { return path == nullptr || buffer == nullptr; }

}  // namespace

int32_t path_read_at(const char* path, std::span<uint8_t> out, int32_t offset) {
  if (absent(path, out.data())) return -1;
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd || !seek_to(fd, offset)) return 0;
  return read_loop(fd, out.data(), out.size());
}

int32_t path_read_capped(const char* path, std::span<uint8_t> out, int32_t offset) {
  if (absent(path, out.data())) return -1;
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  const off_t size = ::lseek(fd.get(), 0, SEEK_END);
  if (size < 0 || !seek_to(fd, offset)) return 0;
  // The allowance is the whole file size, not the part behind the offset; the read still
  // stops at the end of the file.
  const size_t want = std::min(out.size(), static_cast<size_t>(size));
  return read_loop(fd, out.data(), want);
}

int32_t path_write_at(const char* path, std::span<const uint8_t> data, int32_t offset) {
  if (absent(path, data.data())) return -1;
  UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd || !seek_to(fd, offset)) return 0;
  return write_loop(fd, data);
}

int32_t device_write_at(const char* path, std::span<const uint8_t> data, int32_t offset,
                        bool sync) {
  if (absent(path, data.data())) return -1;
  UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
  if (!fd || !seek_to(fd, offset)) return 0;
  const int32_t written = write_loop(fd, data);
  if (sync && ::fdatasync(fd.get()) != 0) return 0;
  return written;
}

int32_t path_size(const char* path) {
  if (path == nullptr) return -1;
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  const off_t size = ::lseek(fd.get(), 0, SEEK_END);
  if (size < 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) return 0;
  return static_cast<int32_t>(std::min<off_t>(size, INT32_MAX));
}

}  // namespace vorn::storage
