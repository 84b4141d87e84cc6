#include "image/integrity.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "image/field_table.h"
#include "image/sha1_context.h"
#include "platform/file_open.h"
#include "platform/io.h"
#include "platform/little_endian.h"
#include "platform/unique_fd.h"

namespace vorn::image {

namespace {

// Capacity of the lookups that feed the integrity stream.
constexpr uint32_t STREAM_SCRATCH_SIZE = 1024;

// Large reads: the digests are the same for any block size, and small reads cost most of the
// time when a contents file of hundreds of MiB is checked.
constexpr size_t DIGEST_BLOCK_SIZE = size_t{128} * 1024;
// Used when the large block cannot be allocated: slower, never failing for lack of memory.
constexpr size_t DIGEST_FALLBACK_BLOCK_SIZE = 512;

// Calls feed(span) with each value of the header's integrity stream, in table order.
template <typename Feed>
void for_each_integrity_value(const HeaderHandle& handle, Feed&& feed) {
  for (const HeaderFieldDesc& row : FIELD_TABLE) {
    if (row.no_integrity != 0 || handle.version < row.since_version) continue;
    uint8_t scratch[STREAM_SCRATCH_SIZE];
    uint32_t len = row.type == FIELD_UINT32 ? UINT32_SIZE : STREAM_SCRATCH_SIZE;
    if (header_get_field(row.name, &handle, row.type, scratch, &len) !=
        static_cast<int>(row.type)) {
      continue;
    }
    if (row.type == FIELD_UINT32) {
      uint32_t value = 0;
      std::memcpy(&value, scratch, sizeof(value));
      uint8_t le[UINT32_SIZE];
      platform::store_le32(le, value);
      feed(std::span<const uint8_t>(le));
    } else {
      feed(std::span<const uint8_t>(scratch, len));
    }
  }
}

uint32_t crc32_add(uint32_t crc, std::span<const uint8_t> bytes) {
  // zlib's length argument is 32 bits wide; feed huge spans in parts.
  while (!bytes.empty()) {
    const size_t n = std::min<size_t>(bytes.size(), 1u << 30);
    crc = static_cast<uint32_t>(::crc32(crc, bytes.data(), static_cast<uInt>(n)));
    bytes = bytes.subspan(n);
  }
  return crc;
}

// Fills block from fd until it is full, at end of file, or on an error (taken as the end).
size_t fill_block(int fd, std::span<uint8_t> block) {
  const ssize_t n = platform::read_fully(fd, block.data(), block.size());
  return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace

uint32_t byte_sum(uint32_t initial, const uint8_t* bytes, size_t length) {
  if (bytes == nullptr) return initial;
  uint32_t sum = initial;
  for (size_t i = 0; i < length; ++i) sum += bytes[i];
  return sum;
}

int header_checksum(const HeaderHandle* handle, uint32_t* out, size_t out_size) {
  if (handle == nullptr || out == nullptr || out_size < sizeof(uint32_t)) return -1;
  uint32_t sum = 0;
  for_each_integrity_value(*handle, [&](std::span<const uint8_t> value) {
    sum = byte_sum(sum, value.data(), value.size());
  });
  *out = sum;
  return 0;
}

int header_crc32(const HeaderHandle* handle, uint32_t* out, size_t out_size) {
  if (handle == nullptr || out == nullptr || out_size < sizeof(uint32_t)) return -1;
  uint32_t crc = 0;
  for_each_integrity_value(*handle,
                           [&](std::span<const uint8_t> value) { crc = crc32_add(crc, value); });
  *out = crc;
  return 0;
}

int header_sha1(const HeaderHandle* handle, uint8_t* out, size_t out_size) {
  if (handle == nullptr || out == nullptr || out_size < SHA1_DIGEST_SIZE) return -1;
  Sha1Context sha1;
  if (!sha1.begin()) return -1;
  for_each_integrity_value(*handle, [&](std::span<const uint8_t> value) { sha1.add(value); });
  Sha1Digest digest;
  if (!sha1.finish(digest)) return -1;
  std::memcpy(out, digest.data(), digest.size());
  return 0;
}

int header_verify(const HeaderHandle* handle, int method) {
  if (handle == nullptr) return 0;
  switch (method) {
    case VERIFY_CHECKSUM: {
      uint32_t sum = 0;
      if (header_checksum(handle, &sum, sizeof(sum)) != 0) return 0;
      return sum == header_get_u32(handle, "hdr_checksum") ? 1 : 0;
    }
    case VERIFY_CRC32: {
      uint32_t crc = 0;
      if (header_crc32(handle, &crc, sizeof(crc)) != 0) return 0;
      return crc == header_get_u32(handle, "hdr_crc32") ? 1 : 0;
    }
    case VERIFY_SHA1: {
      Sha1Digest computed;
      Sha1Digest stored;
      if (header_sha1(handle, computed.data(), computed.size()) != 0) return 0;
      if (header_get_binary(handle, "hdr_sha1", stored.data(), SHA1_SIZE) != SHA1_SIZE) return 0;
      return computed == stored ? 1 : 0;
    }
    default:
      return 0;
  }
}

uint32_t header_check(HeaderHandle* handle, int method) {
  const uint32_t type = header_validate(handle);
  if (type == 0) return 0;
  if (method == VERIFY_NONE) return type;
  return header_verify(handle, method) == 1 ? type : 0;
}

uint64_t contents_digest(const char* path, uint32_t* checksum_out, uint32_t* crc_out,
                         uint8_t* sha1_out, uint32_t offset) {
  if (path == nullptr) return 0;
  const platform::UniqueFd fd = platform::open_for_reading(path, platform::OpenKind::REGULAR);
  return contents_digest(fd, checksum_out, crc_out, sha1_out, offset);
}

uint64_t contents_digest(const platform::UniqueFd& fd, uint32_t* checksum_out, uint32_t* crc_out,
                         uint8_t* sha1_out, uint32_t offset) {
  if (!fd) return 0;
  if (::lseek(fd.get(), offset, SEEK_SET) != static_cast<off_t>(offset)) return 0;
  ::posix_fadvise(fd.get(), offset, 0, POSIX_FADV_SEQUENTIAL);

  std::unique_ptr<uint8_t[]> large(new (std::nothrow) uint8_t[DIGEST_BLOCK_SIZE]);
  uint8_t fallback[DIGEST_FALLBACK_BLOCK_SIZE];
  const std::span<uint8_t> block =
      large ? std::span<uint8_t>(large.get(), DIGEST_BLOCK_SIZE) : std::span<uint8_t>(fallback);

  uint32_t sum = 0;
  uint32_t crc = 0;
  Sha1Context sha1;
  // No digest at all rather than one that might match a stored value by accident.
  if (sha1_out != nullptr && !sha1.begin()) return 0;
  uint64_t total = 0;
  for (;;) {
    const size_t held = fill_block(fd.get(), block);
    if (held == 0) break;
    const std::span<const uint8_t> bytes = block.first(held);
    if (checksum_out != nullptr) sum = byte_sum(sum, bytes.data(), bytes.size());
    if (crc_out != nullptr) crc = crc32_add(crc, bytes);
    if (sha1_out != nullptr) sha1.add(bytes);
    total += held;
  }
  if (checksum_out != nullptr) *checksum_out = sum;
  if (crc_out != nullptr) *crc_out = crc;
  if (sha1_out != nullptr) {
    Sha1Digest digest;
    if (!sha1.finish(digest)) return 0;
    std::memcpy(sha1_out, digest.data(), digest.size());
  }
  return total;
}

}  // namespace vorn::image
