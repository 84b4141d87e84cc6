#pragma once

namespace vorn::cli {

// "list images": one line per copy of every region of the boot map (active marker, device
// path, file-system type, and the alias, version and check marks of a valid header). Prints
// only when verbosity > 1; the header reads and checks run regardless. Returns 0.
int list_images();

// The part of one line after the active-copy marker, ending with the line feed.
void list_image_line(const char* region, int copy_index);

}  // namespace vorn::cli
