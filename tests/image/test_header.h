#pragma once

// Headers made by hand for the image tests: the binary layout written byte by byte at the
// documented offsets and the text form written line by line, without the field table, so that
// the library is checked against an independent picture of the format.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/header_handle.h"

namespace vorn::image::test {

struct TestHeader {
  std::array<uint8_t, 8> magic = {'K', 'E', 'S', 'T', 'R', 'V', 'I', 'F'};
  uint32_t hdr_type = 0xA1;
  uint32_t hdr_version = 1;
  uint32_t hdr_cap = 0;
  uint32_t hdr_size = 0x400;
  uint32_t hdr_checksum = 0;
  uint32_t hdr_crc32 = 0;
  std::array<uint8_t, 20> hdr_sha1{};
  std::string alias = "boot";
  uint32_t timestamp = 0x5F5E1000;
  uint32_t tag_setup = 1;
  std::string req_hw = "%hw%,zt4100.1.0,+";
  std::array<std::string, 5> req_sw = {"boot,1.0.0,+", "", "system,2.1.0,=", "", "app,1.0.0,-"};
  std::string version = "1.0.2";
  uint32_t contents_off = 0x400;
  uint32_t contents_size = 1000;
  uint32_t contents_type = 0xC1;
  uint32_t contents_checksum = 0x1234;
  uint32_t contents_crc32 = 0xCAFEBABE;
  std::array<uint8_t, 20> contents_sha1{};
};

// The 1024 bytes of the binary form.
std::vector<uint8_t> binary_form(const TestHeader& h);

// The text form, one entry per line, hex in upper case.
std::string text_form(const TestHeader& h);

// The integrity stream as documented: magic, hdr_type, hdr_version, hdr_cap, hdr_size, alias,
// timestamp, tag_setup, req_hw, req_sw0..4, version, contents_off, contents_size, contents_type.
std::vector<uint8_t> integrity_stream(const TestHeader& h);

// A header handle over its own buffer, loaded with a binary form or a text form.
struct LoadedHeader {
  std::vector<uint8_t> buffer;
  HeaderHandle handle{};

  static LoadedHeader binary(const std::vector<uint8_t>& bytes, uint32_t capacity = 1024);
  static LoadedHeader text(const std::string& text, uint32_t capacity = 2048);
  HeaderHandle* operator->() { return &handle; }
  HeaderHandle* get() { return &handle; }
};

// "sum crc32 sha1hex" of a file, computed by Python (zlib, hashlib): the independent oracle.
std::string python_digests(const std::string& path);
// Runs a shell command and returns its standard output.
std::string shell_output(const std::string& command);
// The same three values from the library, formatted like python_digests.
std::string format_digests(uint32_t sum, uint32_t crc, const uint8_t* sha1);

}  // namespace vorn::image::test
