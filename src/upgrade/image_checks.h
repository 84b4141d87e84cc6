#pragma once

// Checks of a VIF image file before it is installed: its header (validated and verified), its
// hardware dependency (req_hw), its software dependencies (req_sw0..4) against what is
// installed or against the other images of an upgrade batch, and its contents digest. Each
// prints progress and verdict lines at normal verbosity and returns a code; none writes to the
// device.

#include <span>

#include "upgrade/upgrade_batch.h"

namespace vorn::upgrade {

// Codes shared by the single-image checks (some causes share a code, as callers tell only
// negative, zero and positive apart).
inline constexpr int CHECK_ABSENT = -1;        // absent path (or entry)
inline constexpr int CHECK_NO_HANDLE = -2;     // the header handle cannot be prepared
inline constexpr int CHECK_NOT_VERIFIED = -3;  // "Verify fail": the full header check failed
inline constexpr int CHECK_HW_ERROR = -4;      // req_hw malformed or not comparable
inline constexpr int CHECK_HW_UNREADABLE = -5;
inline constexpr int CHECK_SW_ERROR_FIRST = -6;  // req_sw0 malformed; req_sw1..4 give -7..-10

// check_image_contents codes after the common ones.
inline constexpr int CONTENTS_BAD_OFFSET = -6;  // contents_off is not 1024
inline constexpr int CONTENTS_EMPTY = -7;       // contents_size is 0
inline constexpr int CONTENTS_NOT_A_FILE = -8;  // the path is not "file@!,..."
inline constexpr int CONTENTS_SUM_COUNT = -9;   // bytes behind the header != contents_size
inline constexpr int CONTENTS_CRC_COUNT = -10;
inline constexpr int CONTENTS_NO_SHA1 = -11;
inline constexpr int CONTENTS_SHA1_COUNT = -12;

// check_upgrade_entry's req_hw codes differ from the others'.
inline constexpr int ENTRY_HW_NOT_MET = -5;
inline constexpr int ENTRY_HW_UNREADABLE = -6;
inline constexpr int ENTRY_NO_ALIAS = -7;    // alias unreadable or longer than an entry holds
inline constexpr int ENTRY_NO_VERSION = -8;  // the same for the version

inline constexpr int BATCH_IMAGE_FAILED = -2;  // an image of the batch failed its check
inline constexpr int BATCH_RESOLUTION_FAILED = -3;

inline constexpr int ALIAS_NO_HANDLE = -2;
inline constexpr int ALIAS_NOT_VERIFIED = -3;
inline constexpr int ALIAS_MISSING = -4;  // no alias, no room for it, or no alias_out

// The "check image" commands: header and req_hw, plus the software dependencies when
// sw_match is set, or plus the contents CRC-32 when contents is set. With sw_match (and not
// contents) and the trust store present, also the signature over every byte and the downgrade
// rule. 0 when the image passes; the INSTALL_SIGNATURE_* or INSTALL_DOWNGRADE refusal; -1 for
// any other failure (also for an absent path).
[[nodiscard]] int cmd_check_image(const char* path, int sw_match, int contents);

// 1 accepted, 0 denied (a dependency not met), or a negative code. With sw_match_off set the
// software dependencies are not looked at. The image's alias goes to alias_out (if not empty)
// when accepted.
[[nodiscard]] int check_image_match(const char* path, std::span<char> alias_out, int sw_match_off);

// 1 when the contents behind the header match the stored value of the method (1 byte sum,
// 2 CRC-32, 3 SHA-1), 0 when not or when the hardware is denied, or a negative code.
[[nodiscard]] int check_image_contents(const char* path, int method, std::span<char> alias_out);

// Fills the entry with the image's alias, version and the software dependencies that what is
// installed does not meet. The number of those (0 to 5), or a negative code.
[[nodiscard]] int check_upgrade_entry(const char* path, UpgradeEntry* entry);

// Checks the first five images into upgrade_batch(), lets the images of the batch meet each
// other's dependencies, and lists the dependencies left unmet ("|"-separated, no newline) even
// when quiet, also into the daemon's reply. The number left unmet (0: the batch may be
// installed), BATCH_IMAGE_FAILED or BATCH_RESOLUTION_FAILED.
[[nodiscard]] int check_upgrade_batch(int count, const char* const* paths);

// The image's alias into alias_out after header_open_checked with full. 0, or CHECK_ABSENT,
// ALIAS_NO_HANDLE, ALIAS_NOT_VERIFIED, ALIAS_MISSING. Prints nothing of its own.
[[nodiscard]] int check_image_alias(const char* path, int full, std::span<char> alias_out);

}  // namespace vorn::upgrade
