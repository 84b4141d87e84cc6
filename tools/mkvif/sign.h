#pragma once

// Signing an image: a detached CMS signature (DER) over the whole image file, made with SHA-256
// and signed attributes (the signing time included), as the device checks it.

#include <string>

#include "mkvif/header_builder.h"

namespace vorn::mkvif {

struct SignRequest {
  std::string key;    // the signer's private key, PEM
  std::string cert;   // the signer's certificate, PEM
  std::string chain;  // intermediate certificates carried in the signature, PEM (may be empty)
  std::string image;  // the file signed
  std::string out;    // the signature file; written through a temporary file beside it
};

// Empty on success, else the reason; on failure no file is left at out.
[[nodiscard]] Refusal sign_image(const SignRequest& request);

}  // namespace vorn::mkvif
