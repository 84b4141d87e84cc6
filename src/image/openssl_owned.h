#pragma once

// OpenSSL objects owned by std::unique_ptr, each with its own free function.

#include <openssl/bio.h>
#include <openssl/cms.h>

#include <memory>
#include <openssl/x509.h>

namespace vorn::image {

template <auto Free>
struct OpenSslFree {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
struct CertsFree {  // the stack and the certificates in it
  void operator()(STACK_OF(X509) * certs) const { sk_X509_pop_free(certs, X509_free); }
};

using Bio = std::unique_ptr<BIO, OpenSslFree<BIO_free>>;
using Cms = std::unique_ptr<CMS_ContentInfo, OpenSslFree<CMS_ContentInfo_free>>;
using Cert = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using Certs = std::unique_ptr<STACK_OF(X509), CertsFree>;

}  // namespace vorn::image
