#pragma once

#include "image/header_handle.h"
#include "platform/unique_fd.h"

namespace vorn::storage {

// Fills a handle prepared by header_init from its source name: an image file ("file@...":
// its first 1024 bytes, FORM_BINARY), a region copy read raw (the first 1024 bytes of the
// partition, FORM_BINARY) or through the "%vif-info%" text file of its file system
// (FORM_TEXT), as the region table allows, or an image on an update server (a URL: its first
// 1024 bytes as fetched for the command, FORM_BINARY; refused, with a message, when the file
// on the server is shorter than the contents its valid header names). Returns the handle, or
// null when nothing could be read. Never leaves a mount behind.
image::HeaderHandle* locator_read_header(image::HeaderHandle* handle);

// As locator_read_header for an image file opened already (locator_open): its first 1024 bytes
// (fewer when it is shorter; none from an invalid descriptor), FORM_BINARY. Returns the handle,
// or null for an absent handle or buffer, a buffer under 1024 bytes or a failed read.
image::HeaderHandle* file_read_header(image::HeaderHandle* handle, const platform::UniqueFd& file);

}  // namespace vorn::storage
