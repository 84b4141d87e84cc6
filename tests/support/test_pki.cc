#include "support/test_pki.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vorn::test {

TestPki::TestPki() {
  const std::string make = std::string("bash '") + TEST_PKI_SCRIPT + "' '" + dir_.path() + "'";
  EXPECT_EQ(std::system((make + " 2>/dev/null").c_str()), 0) << make;
}

const TestPki& TestPki::get() {
  static const TestPki pki;
  return pki;
}

void TestPki::cms(const std::string& file, const std::string& words, const std::string& out) const {
  const std::string cmd = "cd '" + dir_.path() +
                          "' && openssl cms -sign -binary -outform DER -in '" + file + "' -out '" +
                          out + "' " + words;
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

void TestPki::sign(const std::string& file) const {
  cms(file, "-signer signer.pem -inkey signer.key -certfile inter.pem", file + ".sig");
}

}  // namespace vorn::test
