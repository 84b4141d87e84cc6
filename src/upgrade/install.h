#pragma once

// The install: a VIF image file (or a raw file) copied into one copy of a boot region, block by
// block in 100 KiB reads, decompressed on the way when its header says so, then flushed to the
// device and read back to check every byte. The contents digests of the header, and the
// signature when the trust store exists, are checked over the very bytes read for the write;
// into a copy the board boots, nothing is written before the whole file has been checked.

#include "image/image_signature.h"
#include "storage/url_source.h"

namespace vorn::upgrade {

inline constexpr int INSTALL_DONE = 0;         // installed, no setup stage asked for
inline constexpr int INSTALL_WANTS_SETUP = 1;  // installed, the image asks for the setup stage
inline constexpr int INSTALL_REFUSED = -1;     // absent argument, header, alias, target kind
inline constexpr int INSTALL_NO_REGION = -2;   // the region is not in the boot map
inline constexpr int INSTALL_NO_HANDLE = -3;   // the header handle cannot be prepared
inline constexpr int INSTALL_SHORT_READ = -4;  // source size unknown, or a read came up short
inline constexpr int INSTALL_NO_BUFFER = -5;
inline constexpr int INSTALL_NO_INFLATE_BUFFER = -6;
inline constexpr int INSTALL_WRITE_FAILED = -7;       // a write failed or was refused (mounted)
inline constexpr int INSTALL_INFLATE_FAILED = -8;     // bad, cut or trailing compressed data
inline constexpr int INSTALL_NOT_DURABLE = -9;        // flush failed, or the bytes read back differ
inline constexpr int INSTALL_NOT_INSTALLED = -10;     // the copy does not hold the image's bytes
inline constexpr int INSTALL_CONTENTS_INVALID = -11;  // digests differ, or bytes past the contents
inline constexpr int INSTALL_SOURCE_CHANGED = -12;    // the file changed while it was read
// Refusals of the signature (see image/image_signature.h), of an older image, and of a copy
// that a pending trial boot falls back to.
inline constexpr int INSTALL_SIGNATURE_MISSING = image::SIGNATURE_MISSING;      // -20
inline constexpr int INSTALL_SIGNATURE_MALFORMED = image::SIGNATURE_MALFORMED;  // -21
inline constexpr int INSTALL_SIGNATURE_UNTRUSTED = image::SIGNATURE_UNTRUSTED;  // -22
inline constexpr int INSTALL_SIGNATURE_EXPIRED = image::SIGNATURE_EXPIRED;      // -23
inline constexpr int INSTALL_SIGNATURE_REVOKED = image::SIGNATURE_REVOKED;      // -24
inline constexpr int INSTALL_SIGNATURE_MISMATCH = image::SIGNATURE_MISMATCH;    // -25
inline constexpr int INSTALL_DOWNGRADE = -26;
inline constexpr int INSTALL_FALLBACK_COPY = -27;  // a pending trial falls back to the copy
// An image from a server fails with the storage::URL_* code of its download (-30 to -39), and
// into a copy the board boots it is refused (storage::URL_INTO_BOOTED_COPY).
// Whether r is one of the refusals above or a download's failure, which callers pass on as they
// are (each is a code of its own), where older failures collapse into one code.
[[nodiscard]] constexpr bool install_refusal(int r) {
  return (r >= INSTALL_FALLBACK_COPY && r <= INSTALL_CONTENTS_INVALID) ||
         (r >= storage::URL_INTO_BOOTED_COPY && r <= storage::URL_UNUSABLE);
}

inline constexpr int INSTALL_READ_SIZE = 102400;  // source bytes per read
inline constexpr int INSTALL_BLOCK_SIZE = 65536;  // decompressed bytes per write

// Installs the image at path (an image locator, or a server's URL) into the copy that region_id
// selects
// ("boot", "system~1", "app#0"). The header is validated (and with full set verified, its
// report printed); the alias must name the region; an androidboot copy receives header and
// contents, an ext4 copy the contents only; compressed contents are refused for an androidboot
// copy (the header on the partition would not describe the bytes behind it). When the trust
// store exists, the signature's structure and chain and the downgrade rule are checked. The
// file must be exactly contents_off + contents_size bytes long (shorter: INSTALL_SHORT_READ,
// longer: INSTALL_CONTENTS_INVALID). All of these come before anything is written. Into a copy
// the board boots (copy_is_bootable) the whole file is read and checked once before it is
// written, and its digests are computed again while it is written. With raw set the file is
// written as it is, unchecked; with dry set nothing is read past the header and nothing is
// written. An image on a server is streamed once, checked while it is written, and never into
// a copy the board boots (storage::URL_INTO_BOOTED_COPY); its download's failures are its
// storage::URL_* codes. Before INSTALL_DONE or INSTALL_WANTS_SETUP is returned, the digests have
// matched and everything written has been flushed to the device and read back equal. Returns one
// of the INSTALL_* codes; progress letters and messages are printed at normal verbosity, and the
// stage and bytes go to the progress record (core/progress.h).
[[nodiscard]] int install_image(const char* region_id, const char* path, int raw, int full,
                                int dry);

// Whether the copy that region_id selects holds exactly what install_image of the image at path
// would write there (decompressed, when compressed), read back past the page cache, and the
// file's digests (and signature) hold; nothing is written. INSTALL_DONE when it does,
// INSTALL_NOT_INSTALLED when not (message printed), or another INSTALL_* failure as
// install_image gives it for the image.
[[nodiscard]] int installed_image_check(const char* region_id, const char* path);

}  // namespace vorn::upgrade
