#include "image/sha1_context.h"

#include <openssl/evp.h>

namespace vorn::image {

Sha1Context::Sha1Context() : ctx_(EVP_MD_CTX_new()) {}

Sha1Context::~Sha1Context() { EVP_MD_CTX_free(ctx_); }

bool Sha1Context::begin() {
  ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha1(), nullptr) == 1;
  return ok_;
}

void Sha1Context::add(std::span<const uint8_t> bytes) {
  if (ok_ && !bytes.empty()) ok_ = EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) == 1;
}

bool Sha1Context::finish(Sha1Digest& out) {
  if (!ok_) return false;
  unsigned int length = 0;
  ok_ = EVP_DigestFinal_ex(ctx_, out.data(), &length) == 1 && length == out.size();
  const bool done = ok_;
  ok_ = false;
  return done;
}

}  // namespace vorn::image
