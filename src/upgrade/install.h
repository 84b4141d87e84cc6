#pragma once

// The install: a VIF image file (or a raw file) copied into one copy of a boot region, block by
// block in 100 KiB reads, decompressed on the way when its header says so, then flushed to the
// device and read back to check every byte.

namespace vorn::upgrade {

inline constexpr int INSTALL_DONE = 0;         // installed, no setup stage asked for
inline constexpr int INSTALL_WANTS_SETUP = 1;  // installed, the image asks for the setup stage
inline constexpr int INSTALL_REFUSED = -1;     // absent argument, header, alias, target kind
inline constexpr int INSTALL_NO_REGION = -2;   // the region is not in the boot map
inline constexpr int INSTALL_NO_HANDLE = -3;   // the header handle cannot be prepared
inline constexpr int INSTALL_SHORT_READ = -4;  // source size unknown, or a read came up short
inline constexpr int INSTALL_NO_BUFFER = -5;
inline constexpr int INSTALL_NO_INFLATE_BUFFER = -6;
inline constexpr int INSTALL_WRITE_FAILED = -7;    // a write failed or was refused (mounted)
inline constexpr int INSTALL_INFLATE_FAILED = -8;  // bad, cut or trailing compressed data
inline constexpr int INSTALL_NOT_DURABLE = -9;     // flush failed, or the bytes read back differ
inline constexpr int INSTALL_NOT_INSTALLED = -10;  // the copy does not hold the image's bytes
inline constexpr int INSTALL_FALLBACK_COPY = -27;  // a pending trial falls back to the copy

inline constexpr int INSTALL_READ_SIZE = 102400;  // source bytes per read
inline constexpr int INSTALL_BLOCK_SIZE = 65536;  // decompressed bytes per write

// Installs the image at path (an image locator) into the copy that region_id selects
// ("boot", "system~1", "app#0"). The header is validated (and with full set verified, its
// report printed); the alias must name the region; an androidboot copy receives header and
// contents, an ext4 copy the contents only; compressed contents are refused for an androidboot
// copy (the header on the partition would not describe the bytes behind it). With raw set the
// file is written as it is, unchecked; with dry set nothing is read past the header and
// nothing is written. Before INSTALL_DONE or INSTALL_WANTS_SETUP is returned, everything
// written has been flushed to the device and read back equal. Returns one of the INSTALL_*
// codes; progress letters and messages are printed at normal verbosity.
[[nodiscard]] int install_image(const char* region_id, const char* path, int raw, int full,
                                int dry);

// Whether the copy that region_id selects holds exactly what install_image of the image at path
// would write there (decompressed, when compressed), read back past the page cache; nothing is
// written. INSTALL_DONE when it does, INSTALL_NOT_INSTALLED when not (message printed), or
// another INSTALL_* failure as install_image gives it for the image.
[[nodiscard]] int installed_image_check(const char* region_id, const char* path);

}  // namespace vorn::upgrade
