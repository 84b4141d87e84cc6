#pragma once

// Dependency strings and version matching. A dependency string (a req_hw or req_sw field) is
//   "%hw%,<model>.<minor>.<patch>,<op>"   the hardware tag against a hardware version
//   "<region>,<version>,<op>"             the image installed in a region against a version
// where op is one of "<", ">", "=", "+" (at least), "-" (at most), read as: what the device
// has, op, what the string asks for. Nothing here changes the device.

#include <cstdint>
#include <span>

#include "upgrade/upgrade_batch.h"

namespace vorn::upgrade {

// version_compare results besides 1 (holds) and 0 (does not hold).
inline constexpr int VERSION_ABSENT = -1;           // left or right absent
inline constexpr int VERSION_BAD_OPERATOR = -2;     // op is none of the five
inline constexpr int VERSION_LEFT_MALFORMED = -3;   // left lacks the "." after part 1 or 2
inline constexpr int VERSION_BAD_WILDCARD = -4;     // a right part after a "*" is not "*"
inline constexpr int VERSION_RIGHT_MALFORMED = -5;  // right lacks the "." after part 1 or 2

// dependency_check results besides 1 (met) and 0 (not met).
inline constexpr int DEP_ABSENT = -1;
inline constexpr int DEP_NO_COMMA = -2;         // region form without a ","
inline constexpr int DEP_UNKNOWN_REGION = -3;   // region name not in the boot map
inline constexpr int DEP_NO_SECOND_COMMA = -4;  // no "," after the version
inline constexpr int DEP_HW_FAILED = -5;        // no usable hardware tag or version
inline constexpr int DEP_NOT_INSTALLED = -6;    // no valid image of that region installed
inline constexpr int DEP_COMPARE_FAILED = -7;   // region form: the versions do not compare

// dependency_check_batch results besides 0.
inline constexpr int BATCH_DEP_ABSENT = -1;
inline constexpr int BATCH_DEP_NO_COMMA = -2;
inline constexpr int BATCH_DEP_NO_SECOND_COMMA = -3;
inline constexpr int BATCH_DEP_COMPARE_FAILED = -4;

// Versions are "major.minor.patch" (anything after the patch number is ignored), each part a
// decimal number packed into 10, 10 and 12 bits (larger numbers wrap); on the right a part "*"
// takes the left's value, and every later right part must be "*" too. Returns 1 when
// "left op right" holds, 0 when not, or a VERSION_* code.
[[nodiscard]] int version_compare(const char* left, const char* right, char op);

// The version of the valid image installed in a region, for a source "bmap@<region id>"
// (header validated and its checksum verified, alias equal to the region name), copied into
// out. Returns out's data, or null when the source is absent or not "bmap@...", nothing valid
// is installed there, the alias differs, or the version does not fit out.
[[nodiscard]] const char* installed_version(const char* source, std::span<char> out);

// Whether the tool can read a dependency string at all, whatever the device holds: 0, or the
// code its check would fail with on every device: DEP_ABSENT; DEP_NO_COMMA; DEP_UNKNOWN_REGION
// for an empty region name; DEP_NO_SECOND_COMMA; DEP_HW_FAILED for a hardware version without
// a model or whose minor and patch do not compare; DEP_COMPARE_FAILED for a version or an
// operator that does not compare.
[[nodiscard]] int dependency_well_formed(const char* text);

// Checks one dependency string against the device (hardware tag, installed images). Returns 1
// met, 0 not met, or a DEP_* code.
[[nodiscard]] int dependency_check(const char* text);

// Checks an unmet dependency against the images of upgrade_batch() and sets its resolved flag
// when one of them meets it (printing a trace line per candidate at normal verbosity).
// Returns 0, or a BATCH_DEP_* code.
[[nodiscard]] int dependency_check_batch(DependencySlot* slot);

}  // namespace vorn::upgrade
