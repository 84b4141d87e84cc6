// Signatures made at test time by the openssl command and the image builder over the PKI of
// tests/support/make-test-pki, verified against its trust store (two roots) and lists.

#include "image/image_signature.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/path_override.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace vorn::image {
namespace {

using vorn::test::read_file;
using vorn::test::TestPki;

StreamDigestValues digests_of(const std::vector<uint8_t>& file, unsigned kinds) {
  StreamDigests digests(1024, kinds);
  StreamDigestValues values;
  EXPECT_TRUE(digests.start());
  for (size_t at = 0; at < file.size(); at += 70000) {  // cut across the worker's buffers
    digests.add({file.data() + at, std::min<size_t>(70000, file.size() - at)});
  }
  EXPECT_TRUE(digests.finish(values));
  return values;
}

TEST(ImageSignature, VerdictsOnSignaturesAndTheBytesTheyCover) {
  const TestPki& pki = TestPki::get();
  vorn::test::TempDir dir;
  std::vector<uint8_t> image(300000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 ^ i >> 11);
  const std::string path = dir.write("image", image);
  const vorn::test::ScopedPathOverride trust(platform::FixedPath::TRUST_STORE,
                                             pki.file("trust.pem"));
  const std::string chained = "-certfile inter.pem -signer ";
  const time_t NOW = 0, UNSET = 1000;  // 0: the current time
  const struct {
    const char* name;
    std::string words;  // of openssl cms; "mkvif" for the image builder; "bytes:" for raw bytes
    time_t now = 0;
    int want = SIGNATURE_OK;
    bool lists = true;
  } rows[] = {
      {"openssl cms", chained + "signer.pem -inkey signer.key"},
      {"mkvif sign", "mkvif"},
      {"second root", "-signer signer2.pem -inkey signer2.key"},
      {"SHA-512", chained + "signer.pem -inkey signer.key -md sha512"},
      {"clock unset: at the signing time", chained + "signer.pem -inkey signer.key", UNSET},
      {"revoked, no lists", chained + "revoked.pem -inkey revoked.key", NOW, 0, false},
      {"no intermediate", "-signer signer.pem -inkey signer.key", NOW, SIGNATURE_UNTRUSTED},
      {"untrusted root", "-certfile stranger.pem -signer outsider.pem -inkey outsider.key", NOW,
       SIGNATURE_UNTRUSTED},
      {"server certificate", chained + "web.pem -inkey web.key", NOW, SIGNATURE_UNTRUSTED},
      {"expired", chained + "expired.pem -inkey expired.key", NOW, SIGNATURE_EXPIRED},
      {"expired, clock unset", chained + "expired.pem -inkey expired.key", UNSET,
       SIGNATURE_EXPIRED},
      {"revoked", chained + "revoked.pem -inkey revoked.key", NOW, SIGNATURE_REVOKED},
      {"no signed attributes", chained + "signer.pem -inkey signer.key -noattr", NOW,
       SIGNATURE_MALFORMED},
      {"SHA-1", chained + "signer.pem -inkey signer.key -md sha1", NOW, SIGNATURE_MALFORMED},
      {"content inside", chained + "signer.pem -inkey signer.key -nodetach", NOW,
       SIGNATURE_MALFORMED},
      {"flipped last byte", "flip", NOW, SIGNATURE_MISMATCH},
      {"not DER", "bytes:not a signature", NOW, SIGNATURE_MALFORMED},
  };
  const std::string good = dir.file("good.sig");
  pki.cms(path, rows[0].words, good);
  std::vector<uint8_t> flipped = image;
  flipped[0x300] ^= 1;  // a reserved byte of a header: only the signature covers it
  for (const auto& row : rows) {
    const std::string sig = dir.file("sig");
    if (row.words == "mkvif") {
      const std::string cmd = std::string("'") + MKVIF_PATH + "' sign --key " +
                              pki.file("signer.key") + " --cert " + pki.file("signer.pem") +
                              " --chain " + pki.file("inter.pem") + " -o " + sig + " " + path;
      ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    } else if (row.words == "flip") {
      std::vector<uint8_t> bytes = read_file(good);
      bytes.back() ^= 1;
      dir.write("sig", bytes);
    } else if (row.words.starts_with("bytes:")) {
      dir.write("sig", row.words.substr(6));
    } else {
      pki.cms(path, row.words, sig);
    }
    const vorn::test::ScopedPathOverride lists(platform::FixedPath::REVOCATION_LIST,
                                               pki.file(row.lists ? "crl.pem" : "none"));
    ImageSignature signature;
    const std::vector<uint8_t> der = read_file(sig);
    EXPECT_EQ(signature.verify(der, row.now == NOW ? std::time(nullptr) : row.now), row.want)
        << row.name << ": " << signature.reason();
    if (row.want != SIGNATURE_OK) continue;
    EXPECT_THAT(signature.subject(), testing::MatchesRegex("/CN=(signer2?|revoked)")) << row.name;
    EXPECT_EQ(signature.match(digests_of(image, signature.digest_kinds())), SIGNATURE_OK)
        << row.name;
    EXPECT_EQ(signature.match(digests_of(flipped, signature.digest_kinds())), SIGNATURE_MISMATCH)
        << row.name;
  }
}

}  // namespace
}  // namespace vorn::image
