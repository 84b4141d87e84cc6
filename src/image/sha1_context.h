#pragma once

// SHA-1 (FIPS 180-1) over a sequence of spans: begin, add, finish.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct evp_md_ctx_st;

namespace vorn::image {

inline constexpr size_t SHA1_DIGEST_SIZE = 20;
using Sha1Digest = std::array<uint8_t, SHA1_DIGEST_SIZE>;

class Sha1Context {
 public:
  Sha1Context();
  Sha1Context(const Sha1Context&) = delete;
  Sha1Context& operator=(const Sha1Context&) = delete;
  ~Sha1Context();

  // Starts a new digest, dropping anything added before. False when the hash cannot be set up
  // (no memory); add and finish then do nothing and fail.
  [[nodiscard]] bool begin();
  void add(std::span<const uint8_t> bytes);
  // Pads, ends the digest and stores it in out; false (out untouched) when begin failed.
  [[nodiscard]] bool finish(Sha1Digest& out);

 private:
  evp_md_ctx_st* ctx_ = nullptr;
  bool ok_ = false;
};

}  // namespace vorn::image
