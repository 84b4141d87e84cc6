#pragma once

// Signatures of image files: a detached CMS signature (DER) over the whole file, with signed
// attributes, by a certificate that chains to the trust store. The certificates of the chain
// are judged at a time the clock rule below gives; the digest the signature carries is compared
// with the digest of the bytes the install read. Nothing here prints.
//
// Trust: the trust store holds the anchors (PEM certificates, self-signed roots; several allow
// a key rotation). Intermediate certificates come from the signature. When the revocation list
// file exists, every certificate of the chain is checked against it, so it must hold the list
// of every issuing CA (the roots' own included); the lists' update dates are not enforced (the
// list on the read-only system copy is as fresh as the system image, an old list still revokes
// what it names, and a board with an unset clock could otherwise trust none). The signer must be
// a certificate without extended key usage or with emailProtection or codeSigning, and, when it
// has a key usage, with digitalSignature.
//
// Clock: a board often starts with its clock unset. When the time is before CLOCK_FLOOR, the
// chain is judged at the signing time the signature carries (its signingTime attribute, which
// the signature authenticates), or at CLOCK_FLOOR without one; otherwise at the time given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "image/stream_digests.h"

namespace vorn::image {

inline constexpr int SIGNATURE_OK = 0;
inline constexpr int SIGNATURE_MISSING = -20;    // no signature file
inline constexpr int SIGNATURE_MALFORMED = -21;  // not a detached CMS signature we accept
inline constexpr int SIGNATURE_UNTRUSTED = -22;  // the signer does not chain to the trust store
inline constexpr int SIGNATURE_EXPIRED = -23;    // a certificate expired or not yet valid
inline constexpr int SIGNATURE_REVOKED = -24;    // revoked, or its revocation cannot be checked
inline constexpr int SIGNATURE_MISMATCH = -25;   // the signature is over other bytes

inline constexpr size_t SIGNATURE_SIZE_MAX = size_t{64} * 1024;
inline constexpr time_t CLOCK_FLOOR = 1767225600;  // 2026-01-01 00:00:00 UTC
inline constexpr size_t SIGNER_SUBJECT_SIZE = 256;
inline constexpr size_t SIGNERS_MAX = 4;

class ImageSignature {
 public:
  // Parses der and verifies it against the trust store and revocation list files: the
  // structure (detached, signed attributes, a digest of SHA-256, SHA-384 or SHA-512 and its
  // value for every signer), the signed attributes' signature, the signers' chains at the time
  // the clock rule gives for now, and the signers' purposes. SIGNATURE_OK, or the code of the
  // first problem with reason() saying what it is (OpenSSL's error queue is left empty).
  [[nodiscard]] int verify(std::span<const uint8_t> der, time_t now);

  // The WHOLE_* digests the signers use (after a successful verify).
  [[nodiscard]] unsigned digest_kinds() const;
  // SIGNATURE_OK when every signer's digest equals the one computed over the file, else
  // SIGNATURE_MISMATCH (reason() set).
  [[nodiscard]] int match(const StreamDigestValues& computed);

  // Why the last verify or match failed; "" when it did not.
  [[nodiscard]] const char* reason() const { return reason_.data(); }
  // The first signer's certificate subject (one line), "" when none could be read.
  [[nodiscard]] const char* subject() const { return subject_.data(); }

 private:
  struct Signer {
    unsigned kind;  // WHOLE_*
    std::array<uint8_t, WHOLE_DIGEST_MAX> digest;
    size_t size;
  };
  int check(std::span<const uint8_t> der, time_t now);  // verify, signers kept on failure
  int fail(int code, const char* why);

  std::array<Signer, SIGNERS_MAX> signers_{};
  size_t signer_count_ = 0;
  std::array<char, 160> reason_{};
  std::array<char, SIGNER_SUBJECT_SIZE> subject_{};
};

}  // namespace vorn::image
