#pragma once

// Where images must be signed: when the trust store exists, an image is written into a copy, or
// the map switched to it, only with a valid signature in the file beside it (its locator with
// ".sig" appended), and only when it is not older than the image in the active copy of its
// region (unless the downgrade policy file exists beside the trust store). Without the trust
// store nothing here refuses anything. Every refusal prints one message naming the image.

#include "image/image_signature.h"
#include "image/stream_digests.h"

namespace vorn::upgrade {

// Whether the trust store exists. Anything at its path counts (a store that cannot be read
// then refuses every image); only a missing file turns signatures off.
[[nodiscard]] bool signatures_required();

// Reads the signature beside the image at path (at most SIGNATURE_SIZE_MAX bytes) and verifies
// it at the current time (ImageSignature::verify). 0, or the INSTALL_SIGNATURE_* refusal.
[[nodiscard]] int signature_load(const char* path, image::ImageSignature& out);

// The downgrade rule for an image of the region alias with the given version: 0, or
// INSTALL_DOWNGRADE when it is older than the valid image in the region's active copy (also when
// the two versions do not compare) and the policy file does not allow it.
[[nodiscard]] int downgrade_check(const char* path, const char* alias, const char* version);

// What is checked before anything is written: signature_load into out, then downgrade_check.
[[nodiscard]] int authenticity_check(const char* path, const char* alias, const char* version,
                                     image::ImageSignature& out);

// The signature's digest against the one computed over the file: 0, or
// INSTALL_SIGNATURE_MISMATCH.
[[nodiscard]] int signature_digest_match(const char* path, image::ImageSignature& signature,
                                         const image::StreamDigestValues& computed);

// The whole check of an image file, through one descriptor: its header (validated; its alias
// and version), the signature, the downgrade rule when downgrades is set, and the digest of every
// byte of the file. 0, an INSTALL_SIGNATURE_* or INSTALL_DOWNGRADE refusal, INSTALL_REFUSED for
// a file without a valid header, or INSTALL_SHORT_READ when it cannot be read to its end.
[[nodiscard]] int authenticity_check_file(const char* path, bool downgrades,
                                          image::ImageSignature& out);

// "check image.signature <path>": answers who signed the image ("Signed by (subject)", a result
// line, in the daemon's reply too) and says whether the signature holds for every byte of it. 0;
// the INSTALL_SIGNATURE_* refusal; -1 for an absent path, without a trust store (message printed),
// or a file that cannot be read.
[[nodiscard]] int cmd_check_signature(const char* path);

}  // namespace vorn::upgrade
