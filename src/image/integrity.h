#pragma once

// The three integrity values of a header (over its field-wise integrity stream) and of the
// contents of an image file: byte sum, CRC-32 and SHA-1. None of them prints anything.

#include <cstddef>
#include <cstdint>

#include "image/header_handle.h"
#include "platform/unique_fd.h"

namespace vorn::image {

// Verification methods; their numbers are part of the command interface.
enum VerifyMethod : int {
  VERIFY_NONE = 0,
  VERIFY_CHECKSUM = 1,
  VERIFY_CRC32 = 2,
  VERIFY_SHA1 = 3,
};

// The initial value plus the sum of the bytes (each unsigned), modulo 2^32. A null pointer adds
// nothing.
[[nodiscard]] uint32_t byte_sum(uint32_t initial, const uint8_t* bytes, size_t length);

// The integrity stream of a header is the concatenation, in field-table order, of the values of
// the rows with no_integrity 0 that the handle's version sees and whose lookup succeeds: a uint32
// as 4 bytes little-endian, a string without its NUL, a binary value's bytes.

// 0 with the byte sum of the stream stored in *out; -1 for a null handle or out, or out_size
// (bytes at out) below 4.
[[nodiscard]] int header_checksum(const HeaderHandle* handle, uint32_t* out, size_t out_size);
// 0 with the CRC-32 (zlib's, started from 0) of the stream in *out; -1 as header_checksum.
[[nodiscard]] int header_crc32(const HeaderHandle* handle, uint32_t* out, size_t out_size);
// 0 with the 20-byte SHA-1 of the stream in out; -1 for a null handle or out, out_size below 20,
// or a hash that cannot be set up.
[[nodiscard]] int header_sha1(const HeaderHandle* handle, uint8_t* out, size_t out_size);

// 1 when the value computed by the method equals the stored one (hdr_checksum, hdr_crc32, or
// hdr_sha1 read back with length 20); 0 on a mismatch, a null handle or another method.
[[nodiscard]] int header_verify(const HeaderHandle* handle, int method);

// hdr_type when header_validate passes and, for a method other than VERIFY_NONE, header_verify
// with that method gives 1; 0 otherwise. Validation runs first, so the header's own version
// governs which rows enter the stream.
[[nodiscard]] uint32_t header_check(HeaderHandle* handle, int method);

// Reads the file at path from offset to its end and computes the requested values over those
// bytes (a null output is not computed and left alone; sha1_out must hold 20 bytes). Returns the
// number of bytes read: 0 also when path is null, the file cannot be opened or is not a regular
// file, or the seek fails. A read error counts as the end of the file. Memory use is constant.
[[nodiscard]] uint64_t contents_digest(const char* path, uint32_t* checksum_out, uint32_t* crc_out,
                                       uint8_t* sha1_out, uint32_t offset);

// As contents_digest on a file opened already (its position is moved); 0 for an invalid
// descriptor.
[[nodiscard]] uint64_t contents_digest(const platform::UniqueFd& fd, uint32_t* checksum_out,
                                       uint32_t* crc_out, uint8_t* sha1_out, uint32_t offset);

}  // namespace vorn::image
