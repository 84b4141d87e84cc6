#pragma once

// The file-system image of an ext4 region: a directory tree with the header's text form
// "%vif-info%" (and optionally the setup script "%vif-setup%") at its root, made by mke2fs.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mkvif/header_builder.h"

namespace vorn::mkvif {

inline constexpr uint32_t EXT4_BLOCK_SIZE = 4096;

struct Ext4Request {
  std::string dir;           // the tree to put into the file system (left unchanged)
  std::string setup_script;  // copied to "%vif-setup%" when not empty
  std::string info_text;     // written to "%vif-info%"
  std::string label;         // volume label (may be empty)
  uint64_t size = 0;         // bytes, a multiple of EXT4_BLOCK_SIZE
  std::string image_path;    // where the file-system image is written
};

// Empty on success, else the reason (mke2fs's own messages go to stderr).
[[nodiscard]] Refusal make_ext4_image(const Ext4Request& request);

// "16M", "512K", "1G" or a byte count; nothing for a malformed size.
[[nodiscard]] std::optional<uint64_t> parse_size(std::string_view text);

}  // namespace vorn::mkvif
