#include "mkvif/sign.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <openssl/x509.h>

#include "image/openssl_owned.h"
#include "mkvif/output_file.h"
#include "platform/io.h"

namespace vorn::mkvif {

namespace {

using image::Bio;
using image::Cert;
using image::Certs;
using image::Cms;
using image::OpenSslFree;
using Key = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
void free_der(unsigned char* p) { OPENSSL_free(p); }
using Der = std::unique_ptr<unsigned char, OpenSslFree<free_der>>;

// The reason of OpenSSL's last error, the queue cleared.
std::string openssl_reason(const std::string& what) {
  const char* reason = ERR_reason_error_string(ERR_peek_last_error());
  ERR_clear_error();
  return what + (reason != nullptr ? std::string(": ") + reason : std::string());
}

Bio open_file(const std::string& path) { return Bio(BIO_new_file(path.c_str(), "rb")); }

}  // namespace

Refusal sign_image(const SignRequest& request) {
  const Bio key_file = open_file(request.key);
  const Key key(key_file ? PEM_read_bio_PrivateKey(key_file.get(), nullptr, nullptr, nullptr)
                         : nullptr);
  if (!key) return openssl_reason("cannot read the key " + request.key);
  const Bio cert_file = open_file(request.cert);
  const Cert cert(cert_file ? PEM_read_bio_X509(cert_file.get(), nullptr, nullptr, nullptr)
                            : nullptr);
  if (!cert) return openssl_reason("cannot read the certificate " + request.cert);
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    return openssl_reason("the key does not belong to the certificate");
  }
  const Certs chain(sk_X509_new_null());
  if (!request.chain.empty()) {
    const Bio chain_file = open_file(request.chain);
    if (!chain_file) return openssl_reason("cannot read " + request.chain);
    while (X509* c = PEM_read_bio_X509(chain_file.get(), nullptr, nullptr, nullptr)) {
      if (!chain || sk_X509_push(chain.get(), c) <= 0) {
        X509_free(c);
        return openssl_reason("cannot keep the chain");
      }
    }
    ERR_clear_error();  // the end of the file
    if (sk_X509_num(chain.get()) == 0) return "no certificate in " + request.chain;
  }

  constexpr unsigned FLAGS = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
  const Bio image = open_file(request.image);
  if (!image) return openssl_reason("cannot open " + request.image);
  const Cms cms(CMS_sign(nullptr, nullptr, chain.get(), nullptr, FLAGS));
  if (!cms || CMS_add1_signer(cms.get(), cert.get(), key.get(), EVP_sha256(), FLAGS) == nullptr ||
      CMS_final(cms.get(), image.get(), nullptr, FLAGS) != 1) {
    return openssl_reason("cannot sign " + request.image);
  }
  unsigned char* bytes = nullptr;
  const int length = i2d_CMS_ContentInfo(cms.get(), &bytes);
  const Der der(bytes);
  if (length <= 0) return openssl_reason("cannot encode the signature");

  OutputFile out(request.out);
  if (out.fd() < 0) return errno_text("cannot create a file beside", request.out);
  if (platform::write_fully(out.fd(), der.get(), static_cast<size_t>(length)) != length) {
    return errno_text("cannot write", out.temp_path());
  }
  return out.commit();
}

}  // namespace vorn::mkvif
