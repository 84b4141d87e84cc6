#pragma once

namespace vorn::settings {

// Kernel command-line hook that fills the hardware tag from "vorn.hw". A value longer than the
// tag's 127 characters is refused and leaves the tag empty (no model then matches).
void boot_keys_hook(char* token, void* context);

}  // namespace vorn::settings
