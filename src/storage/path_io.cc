#include "storage/path_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/file_open.h"
#include "platform/io.h"
#include "platform/unique_fd.h"

namespace vorn::storage {

namespace {

using platform::UniqueFd;

// O_DIRECT wants the buffer, the offset and the length aligned to the device's logical block;
// a page is a multiple of every block size in use.
constexpr size_t DIRECT_ALIGN = 4096;
constexpr size_t CHECK_CHUNK = 1 << 20;

bool seek_to(const UniqueFd& fd, int64_t offset) {
  return offset >= 0 && ::lseek(fd.get(), offset, SEEK_SET) == static_cast<off_t>(offset);
}

// Bytes read until want arrived or the file ended; an error counts as the end.
int64_t read_loop(const UniqueFd& fd, uint8_t* out, size_t want) {
  const ssize_t n = platform::read_fully(fd.get(), out, want);
  return n > 0 ? static_cast<int64_t>(n) : 0;
}

// All of data, or 0 when a write failed.
int64_t write_loop(const UniqueFd& fd, std::span<const uint8_t> data) {
  const ssize_t n = platform::write_fully(fd.get(), data.data(), data.size());
  return n > 0 ? static_cast<int64_t>(n) : 0;
}

bool absent(const char* path, const void* buffer) { return path == nullptr || buffer == nullptr; }

bool is_block_device(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISBLK(st.st_mode);
}

// Opens for reading past the page cache. Where O_DIRECT is refused (tmpfs, for one), the pages
// of the range are written back and dropped instead, so the reads still reach the medium.
UniqueFd open_uncached(const char* path, int64_t offset, int64_t length, bool& direct) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_DIRECT));
  direct = fd.ok();
  if (fd || errno != EINVAL) return fd;
  fd.reset(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd) {
    (void)::fdatasync(fd.get());
    (void)::posix_fadvise(fd.get(), offset, length, POSIX_FADV_DONTNEED);
  }
  return fd;
}

}  // namespace

int64_t path_read_at(const char* path, std::span<uint8_t> out, int64_t offset) {
  if (absent(path, out.data())) return -1;
  UniqueFd fd = platform::open_for_reading(path, platform::OpenKind::STORAGE);
  if (!fd || !seek_to(fd, offset)) return 0;
  return read_loop(fd, out.data(), out.size());
}

int64_t path_read_capped(const char* path, std::span<uint8_t> out, int64_t offset) {
  if (absent(path, out.data())) return -1;
  return fd_read_capped(platform::open_for_reading(path, platform::OpenKind::STORAGE), out, offset);
}

int64_t fd_read_capped(const platform::UniqueFd& fd, std::span<uint8_t> out, int64_t offset) {
  if (!fd || out.data() == nullptr || offset < 0) return 0;
  // The allowance is the whole file size, not the part behind the offset; the read still
  // stops at the end of the file.
  const size_t want = std::min(out.size(), static_cast<size_t>(fd_size(fd)));
  const ssize_t n = platform::read_fully_at(fd.get(), out.data(), want, offset);
  return n > 0 ? static_cast<int64_t>(n) : 0;
}

int64_t path_write_at(const char* path, std::span<const uint8_t> data, int64_t offset) {
  if (absent(path, data.data())) return -1;
  UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd || !seek_to(fd, offset)) return 0;
  return write_loop(fd, data);
}

int64_t device_write_at(const char* path, std::span<const uint8_t> data, int64_t offset, bool sync,
                        bool exclusive, WriteFailure* failure) {
  if (absent(path, data.data())) return -1;
  WriteFailure ignored;
  WriteFailure& failed = failure != nullptr ? *failure : ignored;
  failed = WriteFailure{};
  const auto fail = [&failed](const char* step, int64_t result) {
    failed = {step, errno};
    return result;
  };
  // On a block device O_EXCL fails with EBUSY while a file system holds it, and keeps it from
  // being mounted until the descriptor is closed.
  const int excl = exclusive && is_block_device(path) ? O_EXCL : 0;
  UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC | excl));
  if (!fd) return fail("open", errno == EBUSY ? DEVICE_BUSY : 0);
  if (!seek_to(fd, offset)) return fail("seek", 0);
  const int64_t written = write_loop(fd, data);
  if (written != static_cast<int64_t>(data.size())) return fail("write", written);
  if (sync && ::fdatasync(fd.get()) != 0) return fail("fdatasync", 0);
  return written;
}

int fs_sync(const char* dir) {
  if (dir == nullptr) return -1;
  UniqueFd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && ::syncfs(fd.get()) == 0 ? 0 : -1;
}

int device_sync(const char* path) {
  if (path == nullptr) return -1;
  UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
  if (!fd) return -1;
  return ::fdatasync(fd.get()) == 0 ? 0 : -1;
}

int64_t device_crc32(const char* path, int64_t offset, int64_t length, uint32_t* crc) {
  if (path == nullptr || crc == nullptr || offset < 0 || length < 0) return -1;
  bool direct = false;
  UniqueFd fd = open_uncached(path, offset, length, direct);
  if (!fd) return 0;
  std::vector<uint8_t> storage(CHECK_CHUNK + DIRECT_ALIGN);
  void* aligned = storage.data();
  size_t space = storage.size();
  uint8_t* buffer = static_cast<uint8_t*>(std::align(DIRECT_ALIGN, CHECK_CHUNK, aligned, space));

  // Direct reads start on an aligned offset; the bytes before the asked offset are skipped.
  const int64_t start = direct ? offset - offset % static_cast<int64_t>(DIRECT_ALIGN) : offset;
  int64_t skip = offset - start;
  int64_t pos = start;
  int64_t done = 0;
  uLong value = ::crc32(0L, Z_NULL, 0);
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<int64_t>(length - done + skip, CHECK_CHUNK));
    if (direct) want = (want + DIRECT_ALIGN - 1) / DIRECT_ALIGN * DIRECT_ALIGN;
    ssize_t n;
    do {
      n = ::pread(fd.get(), buffer, want, pos);
    } while (n < 0 && errno == EINTR);
    if (n <= skip) break;
    const int64_t usable = std::min<int64_t>(n - skip, length - done);
    value = ::crc32(value, buffer + skip, static_cast<uInt>(usable));
    done += usable;
    pos += n;
    skip = 0;
    if (static_cast<size_t>(n) < want) break;
  }
  *crc = static_cast<uint32_t>(value);
  return done;
}

int64_t path_size(const char* path) {
  if (path == nullptr) return -1;
  return fd_size(platform::open_for_reading(path, platform::OpenKind::STORAGE));
}

int64_t fd_size(const platform::UniqueFd& fd) {
  if (!fd) return 0;
  // A block device has no size in its inode: its end is found by seeking there.
  const off_t size = ::lseek(fd.get(), 0, SEEK_END);
  if (size < 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) return 0;
  return size;
}

}  // namespace vorn::storage
