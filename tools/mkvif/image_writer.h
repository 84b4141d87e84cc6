#pragma once

// Writing a VIF image file: the header followed by the contents, stored plain or as one zlib
// stream, with the six integrity values computed by the same code the system verifies with.

#include <string>
#include <utility>
#include <vector>

#include "mkvif/header_builder.h"

namespace vorn::mkvif {

struct ImageRequest {
  std::string contents_path;        // the contents as they are to be installed
  std::string out_path;             // the image file; written through a temporary file beside it
  bool compress = false;            // store one zlib stream and set HDR_CAP_COMPRESSED
  int level = 9;                    // zlib level when compressing
  bool keep_contents_size = false;  // contents_size was set by hand: leave it as it is
  // Field values written after the integrity values, to make deliberately broken images.
  std::vector<std::pair<std::string, std::string>> pokes;
};

// Computes hdr_checksum, hdr_crc32 and hdr_sha1 over the header's integrity stream and stores
// them. Empty on success, else the reason.
[[nodiscard]] Refusal seal_header(HeaderBuilder& builder);

// Writes the image. The contents go to contents_off, or right behind the header when
// contents_off is below 1024 (the header is never overwritten). Empty on success, else the
// reason; on failure no file is left at out_path.
[[nodiscard]] Refusal write_image(HeaderBuilder& builder, const ImageRequest& request);

}  // namespace vorn::mkvif
