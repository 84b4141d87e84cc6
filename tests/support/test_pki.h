#pragma once

#include <string>

#include "support/temp_dir.h"

namespace vorn::test {

// The PKI of tests/support/make-test-pki, made once per test program, and detached signatures
// made with the openssl command.
class TestPki {
 public:
  static const TestPki& get();
  [[nodiscard]] std::string file(const std::string& name) const { return dir_.file(name); }
  // "openssl cms -sign -binary -outform DER" of the file with the words given (signer, key,
  // options; names of PKI files without a directory); the signature written to out.
  void cms(const std::string& file, const std::string& words, const std::string& out) const;
  // As cms, by the signer under the intermediate CA, to file + ".sig".
  void sign(const std::string& file) const;

 private:
  TestPki();
  TempDir dir_;
};

}  // namespace vorn::test
