#pragma once

// A header read through an image source (a locator) and checked: the common first step of the
// image checks and the install.

#include "image/header_handle.h"
#include "platform/unique_fd.h"

namespace vorn::storage {

// Reads the header of a handle prepared by header_init from its source, validates it and, with
// full set, verifies checksum, CRC-32 and SHA-1, requires contents_off >= 1024 and prints the
// header report. Returns the handle, or null at the first failure (nothing printed then).
image::HeaderHandle* header_open_checked(image::HeaderHandle* handle, int full);

// As header_open_checked, with the header read from an image file opened already (locator_open)
// rather than through the handle's source; null also when nothing can be read from it.
image::HeaderHandle* header_open_checked(image::HeaderHandle* handle, int full,
                                         const platform::UniqueFd& file);

// True when the handle's header, already read, is valid and all three integrity values verify.
[[nodiscard]] bool header_verified(image::HeaderHandle* handle);

}  // namespace vorn::storage
