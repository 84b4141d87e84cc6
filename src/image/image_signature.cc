#include "image/image_signature.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <memory>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "image/openssl_owned.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/scope_guard.h"

namespace vorn::image {

namespace {

struct SignersFree {  // the certificates are the signature's own
  void operator()(STACK_OF(X509) * certs) const { sk_X509_free(certs); }
};
struct InfosFree {
  void operator()(STACK_OF(X509_INFO) * infos) const {
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
  }
};
using Store = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE_free>>;
using Infos = std::unique_ptr<STACK_OF(X509_INFO), InfosFree>;
using Time = std::unique_ptr<ASN1_TIME, OpenSslFree<ASN1_TIME_free>>;

// What the store's callback works with while CMS_verify runs on the caller's thread: the time
// the certificates are judged at, and the first chain error met.
thread_local const ASN1_TIME* t_judged_at = nullptr;
thread_local int t_chain_error = X509_V_OK;

// The library's own time checks are off: a 32-bit target built with a 64-bit time_t, as ours
// are, cannot hand a time_t to a libcrypto built with a 32-bit one. Each certificate that the
// chain verification passes is held against the time here instead (which leaves the lists'
// own dates unchecked too, as the header says).
int check_chain(int ok, X509_STORE_CTX* ctx) {
  if (ok != 0) {
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    if (cert == nullptr) return 1;
    const int before = ASN1_TIME_compare(X509_get0_notBefore(cert), t_judged_at);
    const int after = ASN1_TIME_compare(X509_get0_notAfter(cert), t_judged_at);
    const int error = before == -2  ? X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD
                      : after == -2 ? X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD
                      : before > 0  ? X509_V_ERR_CERT_NOT_YET_VALID
                      : after < 0   ? X509_V_ERR_CERT_HAS_EXPIRED
                                    : X509_V_OK;
    if (error == X509_V_OK) return 1;
    X509_STORE_CTX_set_error(ctx, error);
  }
  if (t_chain_error == X509_V_OK) t_chain_error = X509_STORE_CTX_get_error(ctx);
  return 0;
}

// An ASN1_TIME of a time, made from its calendar text; null when it cannot be made.
Time asn1_time(time_t at) {
  tm when{};
  std::array<char, 32> text{};
  if (::gmtime_r(&at, &when) == nullptr ||
      std::strftime(text.data(), text.size(), "%Y%m%d%H%M%SZ", &when) == 0) {
    return Time();
  }
  Time time(ASN1_TIME_new());
  if (time && ASN1_TIME_set_string(time.get(), text.data()) != 1) time.reset();
  return time;
}

int chain_code(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return SIGNATURE_EXPIRED;
    case X509_V_ERR_CERT_REVOKED:
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
      return SIGNATURE_REVOKED;
    default:
      return SIGNATURE_UNTRUSTED;
  }
}

unsigned digest_kind(int nid) {
  switch (nid) {
    case NID_sha256:
      return WHOLE_SHA256;
    case NID_sha384:
      return WHOLE_SHA384;
    case NID_sha512:
      return WHOLE_SHA512;
    default:
      return 0;
  }
}

size_t kind_index(unsigned kind) { return kind == WHOLE_SHA256 ? 0 : kind == WHOLE_SHA384 ? 1 : 2; }

// The PEM entries of a file; absent (errno ENOENT) for a missing file, empty when it cannot
// be read or holds a broken entry.
std::pair<bool, Infos> read_pem(platform::FixedPath which) {
  const Bio file(BIO_new_file(platform::fixed_path(which), "r"));
  if (!file) return {errno != ENOENT, Infos()};
  return {true, Infos(PEM_X509_INFO_read_bio(file.get(), nullptr, nullptr, nullptr))};
}

// The signing time a signer claims, or -1 without one.
time_t signing_time(CMS_SignerInfo* si) {
  const ASN1_OBJECT* oid = OBJ_nid2obj(NID_pkcs9_signingTime);
  for (const int type : {V_ASN1_UTCTIME, V_ASN1_GENERALIZEDTIME}) {
    const auto* at = static_cast<const ASN1_TIME*>(CMS_signed_get0_data_by_OBJ(si, oid, -3, type));
    tm when{};
    if (at != nullptr && ASN1_TIME_to_tm(at, &when) == 1) return ::timegm(&when);
  }
  return -1;
}

// Whether the leaf may sign images: no extended key usage or one for e-mail protection or
// code signing, and digitalSignature when it restricts its key usage. OpenSSL's S/MIME purpose
// would refuse codeSigning, so the chain is verified for any purpose and the leaf checked here.
bool signs_images(X509* leaf) {
  const uint32_t flags = X509_get_extension_flags(leaf);
  if ((flags & EXFLAG_XKUSAGE) != 0 &&
      (X509_get_extended_key_usage(leaf) & (XKU_SMIME | XKU_CODE_SIGN)) == 0) {
    return false;
  }
  return (flags & EXFLAG_KUSAGE) == 0 || (X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE) != 0;
}

}  // namespace

int ImageSignature::fail(int code, const char* why) {
  platform::copy_text(reason_, why != nullptr ? why : "unknown error");
  return code;
}

int ImageSignature::verify(std::span<const uint8_t> der, time_t now) {
  const int r = check(der, now);
  if (r != SIGNATURE_OK) signer_count_ = 0;  // nothing to match a digest against
  return r;
}

int ImageSignature::check(std::span<const uint8_t> der, time_t now) {
  const platform::ScopeGuard clear_queue([] { ERR_clear_error(); });
  signer_count_ = 0;
  reason_.fill('\0');
  subject_.fill('\0');
  if (der.size() > SIGNATURE_SIZE_MAX) return fail(SIGNATURE_MALFORMED, "signature too large");
  const unsigned char* p = der.data();
  const Cms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  if (!cms || p != der.data() + der.size()) {
    return fail(SIGNATURE_MALFORMED, "not a CMS signature in DER");
  }
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    return fail(SIGNATURE_MALFORMED, "not CMS signed data");
  }
  if (CMS_is_detached(cms.get()) != 1) {
    return fail(SIGNATURE_MALFORMED, "the signature carries content (not detached)");
  }
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
  const int count = sk_CMS_SignerInfo_num(infos);
  if (count <= 0 || static_cast<size_t>(count) > SIGNERS_MAX) {
    return fail(SIGNATURE_MALFORMED, "no signer, or too many");
  }

  const Certs certs(CMS_get1_certs(cms.get()));
  time_t signed_at = -1;
  for (int i = 0; i < count; ++i) {
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, i);
    if (i == 0) {
      for (int c = 0; c < sk_X509_num(certs.get()); ++c) {
        X509* cert = sk_X509_value(certs.get(), c);
        if (CMS_SignerInfo_cert_cmp(si, cert) == 0) {
          X509_NAME_oneline(X509_get_subject_name(cert), subject_.data(),
                            static_cast<int>(subject_.size()));
        }
      }
      signed_at = signing_time(si);
    }
    // Without signed attributes the signature covers the content itself, which is ours to
    // compare: nothing of it would be checked here.
    if (CMS_signed_get_attr_count(si) <= 0) {
      return fail(SIGNATURE_MALFORMED, "no signed attributes (unsupported)");
    }
    X509_ALGOR* algorithm = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &algorithm, nullptr);
    const unsigned kind = algorithm != nullptr ? digest_kind(OBJ_obj2nid(algorithm->algorithm)) : 0;
    if (kind == 0) return fail(SIGNATURE_MALFORMED, "digest algorithm not SHA-256/384/512");
    const auto* value = static_cast<const ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
        si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    const int size = kind == WHOLE_SHA256 ? 32 : kind == WHOLE_SHA384 ? 48 : 64;
    if (value == nullptr || ASN1_STRING_length(value) != size) {
      return fail(SIGNATURE_MALFORMED, "no message digest of the right size");
    }
    Signer& signer = signers_[signer_count_++];
    signer.kind = kind;
    signer.size = static_cast<size_t>(size);
    std::copy_n(ASN1_STRING_get0_data(value), size, signer.digest.begin());
  }

  const Store store(X509_STORE_new());
  if (!store) return fail(SIGNATURE_UNTRUSTED, "no memory for the trust store");
  const Infos anchors = read_pem(platform::FixedPath::TRUST_STORE).second;
  int anchor_count = 0;
  for (int i = 0; anchors && i < sk_X509_INFO_num(anchors.get()); ++i) {
    X509* cert = sk_X509_INFO_value(anchors.get(), i)->x509;
    if (cert != nullptr && X509_STORE_add_cert(store.get(), cert) == 1) ++anchor_count;
  }
  if (anchor_count == 0) return fail(SIGNATURE_UNTRUSTED, "no certificate in the trust store");
  const auto [lists_present, lists] = read_pem(platform::FixedPath::REVOCATION_LIST);
  if (lists_present) {
    if (!lists) return fail(SIGNATURE_REVOKED, "the revocation list cannot be read");
    for (int i = 0; i < sk_X509_INFO_num(lists.get()); ++i) {
      X509_CRL* list = sk_X509_INFO_value(lists.get(), i)->crl;
      if (list != nullptr) (void)X509_STORE_add_crl(store.get(), list);
    }
    X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  const Time judged_at = asn1_time(now >= CLOCK_FLOOR ? now
                                   : signed_at >= 0   ? signed_at
                                                      : CLOCK_FLOOR);
  if (!judged_at) return fail(SIGNATURE_EXPIRED, "no time to judge the certificates at");
  t_judged_at = judged_at.get();
  X509_STORE_set_flags(store.get(), X509_V_FLAG_NO_CHECK_TIME);
  X509_VERIFY_PARAM_set_purpose(X509_STORE_get0_param(store.get()), X509_PURPOSE_ANY);
  X509_STORE_set_verify_cb(store.get(), check_chain);

  // The content is not verified here: its digest is compared with the bytes the install reads.
  // (An empty read-only buffer ends at once; a writable one would say "try again".)
  const Bio no_content(BIO_new_mem_buf("", 0));
  t_chain_error = X509_V_OK;
  ERR_clear_error();
  if (CMS_verify(cms.get(), nullptr, store.get(), no_content.get(), nullptr,
                 CMS_NO_CONTENT_VERIFY | CMS_BINARY | CMS_NOCRL) != 1) {
    if (t_chain_error != X509_V_OK) {
      return fail(chain_code(t_chain_error), X509_verify_cert_error_string(t_chain_error));
    }
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) == ERR_LIB_CMS && ERR_GET_REASON(error) == CMS_R_VERIFICATION_FAILURE) {
      return fail(SIGNATURE_MISMATCH, "the signature does not match its signed attributes");
    }
    return fail(SIGNATURE_MALFORMED, ERR_reason_error_string(error));
  }
  const std::unique_ptr<STACK_OF(X509), SignersFree> signers(CMS_get0_signers(cms.get()));
  for (int i = 0; i < sk_X509_num(signers.get()); ++i) {
    if (!signs_images(sk_X509_value(signers.get(), i))) {
      return fail(SIGNATURE_UNTRUSTED, "the signer's certificate is not for signing");
    }
  }
  return SIGNATURE_OK;
}

unsigned ImageSignature::digest_kinds() const {
  unsigned kinds = 0;
  for (size_t i = 0; i < signer_count_; ++i) kinds |= signers_[i].kind;
  return kinds;
}

int ImageSignature::match(const StreamDigestValues& computed) {
  for (size_t i = 0; i < signer_count_; ++i) {
    const Signer& signer = signers_[i];
    const auto& value = computed.whole[kind_index(signer.kind)];
    if (!std::equal(signer.digest.begin(), signer.digest.begin() + signer.size, value.begin())) {
      return fail(SIGNATURE_MISMATCH, "the signature is over other bytes");
    }
  }
  return SIGNATURE_OK;
}

}  // namespace vorn::image
