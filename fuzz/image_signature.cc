// The signature check on a fuzzed .sig file, with a trust store of the certificates the input
// itself carries (so that the whole verification runs): a verdict among the signature codes,
// with a reason for a refusal, and a signed digest that never matches a file of no bytes hashed.
#include "image/image_signature.h"

#include <openssl/pem.h>

#include <cstdlib>

#include "fuzz_env.h"
#include "image/openssl_owned.h"
#include "platform/fixed_paths.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    const unsigned char* p = data;
    const image::Cms cms(d2i_CMS_ContentInfo(nullptr, &p, long(size)));
    const image::Certs certs(cms ? CMS_get1_certs(cms.get()) : nullptr);
    const image::Bio trust(
        BIO_new_file(platform::fixed_path(platform::FixedPath::TRUST_STORE), "w"));
    for (int i = 0; trust && i < sk_X509_num(certs.get()); ++i) {
      PEM_write_bio_X509(trust.get(), sk_X509_value(certs.get(), i));
    }
  }
  image::ImageSignature signature;
  const int r = signature.verify({data, size}, image::CLOCK_FLOOR - 1);
  if (r != 0 && (r < image::SIGNATURE_MISMATCH || r > image::SIGNATURE_MALFORMED ||
                 signature.reason()[0] == '\0')) {
    std::abort();
  }
  if (r == 0 && signature.match(image::StreamDigestValues{}) != image::SIGNATURE_MISMATCH) {
    std::abort();
  }
  return 0;
}
