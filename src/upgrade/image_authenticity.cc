#include "upgrade/image_authenticity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>
#include <new>

#include "core/output.h"
#include "image/header_handle.h"
#include "image/integrity.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/io.h"
#include "platform/scope_guard.h"
#include "storage/header_reader.h"
#include "storage/image_locator.h"
#include "storage/region_io.h"
#include "storage/url_source.h"
#include "upgrade/dependency.h"
#include "upgrade/install.h"

namespace vorn::upgrade {

namespace {

using core::info_printf;
using Text = std::array<char, 64>;

int refuse(const char* path, int code, const char* why) {
  info_printf("[Error] Signature Fail(%s)(%s)!\n", path, why);
  return code;
}

bool exists(platform::FixedPath which) {
  struct stat st {};
  return ::stat(platform::fixed_path(which), &st) == 0 || errno != ENOENT;
}

// Adds every byte of a streamed image to the digests.
class DigestFeed final : public storage::UrlSink {
 public:
  explicit DigestFeed(image::StreamDigests& hashes) : hashes_(hashes) {}
  int consume(std::span<const uint8_t> bytes) override {
    hashes_.add(bytes);
    return 0;
  }

 private:
  image::StreamDigests& hashes_;
};

// Every byte of the file into the digests. 0, INSTALL_NO_BUFFER or INSTALL_SHORT_READ.
int read_digests(const char* path, const platform::UniqueFd& file, image::StreamDigests& hashes) {
  const std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[INSTALL_READ_SIZE]);
  if (chunk == nullptr) return INSTALL_NO_BUFFER;
  for (off_t at = 0;;) {
    const ssize_t n = platform::read_fully_at(file.get(), chunk.get(), INSTALL_READ_SIZE, at);
    if (n < 0) {
      info_printf("[Error] Read Fail(%s)(0x%llx)!\n", path, static_cast<unsigned long long>(at));
      return INSTALL_SHORT_READ;
    }
    if (n == 0) return 0;
    hashes.add({chunk.get(), static_cast<size_t>(n)});
    at += n;
  }
}

}  // namespace

bool signatures_required() { return exists(platform::FixedPath::TRUST_STORE); }

// A file system mounted to read the signature is the image's own (the same locator but for the
// name): the caller releases the image's locator, which unmounts it once the image is closed.
// Beside an image on a server, the signature is fetched from the URL with ".sig" added to its
// path; a server that answers with an error status has none, other failures are the download's.
int signature_load(const char* path, image::ImageSignature& out) {
  const bool url = storage::is_url(path);
  std::array<char, storage::URL_TEXT_SIZE> text{};
  if (url ? !storage::url_signature(path, text) : !platform::format_text(text, "%s.sig", path)) {
    return refuse(path, INSTALL_SIGNATURE_MISSING, "the signature's name is too long");
  }
  const std::unique_ptr<uint8_t[]> der(new (std::nothrow) uint8_t[image::SIGNATURE_SIZE_MAX + 1]);
  if (der == nullptr) return refuse(path, INSTALL_SIGNATURE_MISSING, "no memory");
  ssize_t n = -1;
  if (url) {
    size_t fetched = 0;
    const int r = storage::url_fetch(text.data(), {der.get(), image::SIGNATURE_SIZE_MAX}, &fetched);
    if (r == storage::URL_HTTP_STATUS) {
      return refuse(path, INSTALL_SIGNATURE_MISSING, "no signature file");
    }
    if (r == storage::URL_OTHER_LENGTH) {
      return refuse(path, INSTALL_SIGNATURE_MALFORMED, "the signature file is too large");
    }
    if (r != storage::URL_OK) return r;
    n = static_cast<ssize_t>(fetched);
  } else {
    const platform::UniqueFd file = storage::locator_open(text.data());
    if (!file) return refuse(path, INSTALL_SIGNATURE_MISSING, "no signature file");
    n = platform::read_fully(file.get(), der.get(), image::SIGNATURE_SIZE_MAX + 1);
  }
  if (n < 0) return refuse(path, INSTALL_SIGNATURE_MISSING, "the signature cannot be read");
  if (static_cast<size_t>(n) > image::SIGNATURE_SIZE_MAX) {
    return refuse(path, INSTALL_SIGNATURE_MALFORMED, "the signature file is too large");
  }
  const int r = out.verify({der.get(), static_cast<size_t>(n)}, std::time(nullptr));
  return r == image::SIGNATURE_OK ? 0 : refuse(path, r, out.reason());
}

int downgrade_check(const char* path, const char* alias, const char* version) {
  if (exists(platform::FixedPath::ALLOW_DOWNGRADE)) return 0;
  Text source{};
  Text installed{};
  if (!platform::format_text(source, "bmap@%s", alias) ||
      installed_version(source.data(), installed) == nullptr) {
    return 0;  // nothing valid in the active copy: any version may go in
  }
  const int older = version_compare(version, installed.data(), '<');
  if (older == 0) return 0;
  info_printf("[Error] Downgrade Refused(%s)(%s %s %s)!\n", path, version,
              older > 0 ? "<" : "does not compare with", installed.data());
  return INSTALL_DOWNGRADE;
}

int authenticity_check(const char* path, const char* alias, const char* version,
                       image::ImageSignature& out) {
  if (const int r = signature_load(path, out); r != 0) return r;
  return downgrade_check(path, alias, version);
}

int signature_digest_match(const char* path, image::ImageSignature& signature,
                           const image::StreamDigestValues& computed) {
  const int r = signature.match(computed);
  return r == image::SIGNATURE_OK ? 0 : refuse(path, r, signature.reason());
}

int authenticity_check_file(const char* path, bool downgrades, image::ImageSignature& out) {
  const platform::ScopeGuard release([path] { (void)storage::locator_release(path); });
  const bool url = storage::is_url(path);
  const platform::UniqueFd file = url ? platform::UniqueFd() : storage::locator_open(path);
  if (downgrades) {
    std::array<uint8_t, image::HEADER_SIZE> buffer;
    image::HeaderHandle handle;
    Text alias{};
    Text version{};
    if (image::header_init(&handle, path, buffer.data(), buffer.size()) == nullptr ||
        (url ? storage::locator_read_header(&handle) : storage::file_read_header(&handle, file)) ==
            nullptr ||
        image::header_check(&handle, image::VERIFY_NONE) == 0 ||
        image::header_get_string(&handle, "alias", alias.data(), alias.size()) == nullptr ||
        image::header_get_string(&handle, "version", version.data(), version.size()) == nullptr) {
      info_printf("Verify fail\n");
      return INSTALL_REFUSED;
    }
    if (const int r = authenticity_check(path, alias.data(), version.data(), out); r != 0) {
      return r;
    }
  } else if (const int r = signature_load(path, out); r != 0) {
    return r;
  }
  // Only the whole-file digests: the contents start nowhere.
  image::StreamDigests hashes(UINT64_MAX, out.digest_kinds());
  if (!hashes.start()) return INSTALL_NO_BUFFER;
  DigestFeed feed(hashes);
  const int r = url ? storage::url_stream(path, feed) : read_digests(path, file, hashes);
  if (r != 0) return r;
  image::StreamDigestValues computed;
  if (!hashes.finish(computed)) return INSTALL_NO_BUFFER;
  return signature_digest_match(path, out, computed);
}

int cmd_check_signature(const char* path) {
  if (path == nullptr) return -1;
  if (!signatures_required()) {
    info_printf("[Error] No Trust Store(%s)!\n",
                platform::fixed_path(platform::FixedPath::TRUST_STORE));
    return -1;
  }
  image::ImageSignature signature;
  const int r = authenticity_check_file(path, false, signature);
  // Who signed it is the command's answer, also to a client of the daemon.
  std::array<char, image::SIGNER_SUBJECT_SIZE + 16> signer{};
  if (signature.subject()[0] != '\0' &&
      platform::format_text(signer, "Signed by (%s)\n", signature.subject())) {
    core::result_print(signer.data());
  }
  if (r == 0) {
    info_printf("Checked Image Signature(%s)->ok!\n", path);
    return 0;
  }
  info_printf("Checked Image Signature(%s)->not valid(%d)!\n", path, r);
  return install_refusal(r) ? r : -1;
}

}  // namespace vorn::upgrade
