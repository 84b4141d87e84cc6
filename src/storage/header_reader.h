#pragma once

#include "image/header_handle.h"

namespace vorn::storage {

// Fills a handle prepared by header_init from its source name: an image file ("file@...":
// its first 1024 bytes, FORM_BINARY), a region copy read raw (the first 1024 bytes of the
// partition, FORM_BINARY) or through the "%vif-info%" text file of its file system
// (FORM_TEXT), as the region table allows. Returns the handle, or null when nothing could be
// read. Never leaves a mount behind.
image::HeaderHandle* locator_read_header(image::HeaderHandle* handle);

}  // namespace vorn::storage
