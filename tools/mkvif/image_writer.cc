#include "mkvif/image_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/integrity.h"
#include "image/sha1_context.h"
#include "mkvif/output_file.h"
#include "platform/io.h"
#include "platform/unique_fd.h"

namespace vorn::mkvif {

namespace {

constexpr size_t COPY_BLOCK_SIZE = 1 << 20;
constexpr uint64_t CONTENTS_MAX = 0xFFFFFFFFull;

bool write_all(int fd, const uint8_t* bytes, size_t length) {
  return platform::write_fully(fd, bytes, length) == static_cast<ssize_t>(length);
}

bool read_all(int fd, std::vector<uint8_t>& out, uint64_t size) {
  out.resize(size);
  return platform::read_fully(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
}

// Copies the whole of in to out; false on a short read or a failed write.
bool copy_stream(int in, int out, uint64_t size) {
  std::vector<uint8_t> block(COPY_BLOCK_SIZE);
  uint64_t left = size;
  while (left > 0) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    if (platform::read_fully(in, block.data(), want) != static_cast<ssize_t>(want) ||
        !write_all(out, block.data(), want)) {
      return false;
    }
    left -= want;
  }
  return true;
}

}  // namespace

Refusal seal_header(HeaderBuilder& builder) {
  std::array<uint8_t, image::HEADER_SIZE> buffer{};
  image::HeaderHandle handle;
  if (image::header_init(&handle, "mkvif", buffer.data(), buffer.size()) == nullptr) {
    return "cannot prepare a header handle";
  }
  std::copy(builder.bytes().begin(), builder.bytes().end(), buffer.begin());
  uint32_t sum = 0;
  uint32_t crc = 0;
  image::Sha1Digest sha1{};
  if (image::header_checksum(&handle, &sum, sizeof(sum)) != 0 ||
      image::header_crc32(&handle, &crc, sizeof(crc)) != 0 ||
      image::header_sha1(&handle, sha1.data(), sha1.size()) != 0) {
    return "cannot compute the header's integrity values";
  }
  Refusal why = builder.set_u32("hdr_checksum", sum);
  if (why.empty()) why = builder.set_u32("hdr_crc32", crc);
  if (why.empty()) why = builder.set_binary("hdr_sha1", sha1);
  return why;
}

Refusal write_image(HeaderBuilder& builder, const ImageRequest& request) {
  platform::UniqueFd in(::open(request.contents_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return errno_text("cannot open", request.contents_path);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return errno_text("cannot stat", request.contents_path);
  const uint64_t plain_size = static_cast<uint64_t>(st.st_size);

  std::vector<uint8_t> packed;
  uint64_t stored_size = plain_size;
  if (request.compress) {
    std::vector<uint8_t> plain;
    if (!read_all(in.get(), plain, plain_size)) {
      return errno_text("cannot read", request.contents_path);
    }
    uLongf packed_size = compressBound(static_cast<uLong>(plain.size()));
    packed.resize(packed_size);
    if (compress2(packed.data(), &packed_size, plain.data(), static_cast<uLong>(plain.size()),
                  request.level) != Z_OK) {
      return "cannot compress " + request.contents_path;
    }
    packed.resize(packed_size);
    stored_size = packed_size;
    const Refusal why =
        builder.set_u32("hdr_cap", builder.get_u32("hdr_cap") | image::HDR_CAP_COMPRESSED);
    if (!why.empty()) return why;
  }
  if (stored_size > CONTENTS_MAX) {
    return request.contents_path + ": " + std::to_string(stored_size) +
           " bytes of contents do not fit the 32-bit contents_size";
  }
  if (!request.keep_contents_size) {
    const Refusal why = builder.set_u32("contents_size", static_cast<uint32_t>(stored_size));
    if (!why.empty()) return why;
  }
  const uint32_t data_offset = std::max(builder.get_u32("contents_off"), image::HEADER_SIZE);

  OutputFile out(request.out_path);
  if (out.fd() < 0) return errno_text("cannot create a file beside", request.out_path);
  const std::string& temp = out.temp_path();

  // The header goes in twice: now to hold its place, finally with its integrity values.
  const std::vector<uint8_t> gap(data_offset - image::HEADER_SIZE, 0);
  if (!write_all(out.fd(), builder.bytes().data(), image::HEADER_SIZE) ||
      !write_all(out.fd(), gap.data(), gap.size())) {
    return errno_text("cannot write", temp);
  }
  const bool copied = request.compress ? write_all(out.fd(), packed.data(), packed.size())
                                       : copy_stream(in.get(), out.fd(), plain_size);
  if (!copied) return errno_text("cannot copy the contents into", temp);

  uint32_t sum = 0;
  uint32_t crc = 0;
  image::Sha1Digest sha1{};
  const uint64_t digested =
      image::contents_digest(temp.c_str(), &sum, &crc, sha1.data(), data_offset);
  if (digested != stored_size) return "cannot read back the contents of " + temp;
  Refusal why = builder.set_u32("contents_checksum", sum);
  if (why.empty()) why = builder.set_u32("contents_crc32", crc);
  if (why.empty()) why = builder.set_binary("contents_sha1", sha1);
  if (why.empty()) why = seal_header(builder);
  for (const auto& [name, value] : request.pokes) {
    if (why.empty()) why = builder.set_from_text(name, value);
  }
  if (!why.empty()) return why;

  if (::pwrite(out.fd(), builder.bytes().data(), image::HEADER_SIZE, 0) !=
      static_cast<ssize_t>(image::HEADER_SIZE)) {
    return errno_text("cannot write", temp);
  }
  return out.commit();
}

}  // namespace vorn::mkvif
