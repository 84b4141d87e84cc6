#include "image/header_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "cli/infos_command.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "image/test_header.h"

namespace vorn::image {
namespace {

using testing::HasSubstr;
using testing::Not;

using test::binary_form;
using test::LoadedHeader;
using test::TestHeader;
using test::text_form;

class Output : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    core::set_verbosity(core::VERBOSITY_NORMAL);
    core::set_reply_buffer({});
  }
  static std::string report(HeaderHandle* h) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(header_print_report(h), 0);
    return ::testing::internal::GetCapturedStdout();
  }
  static std::string infos(HeaderHandle* h, std::string list) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(cli::infos_print_fields(h, list.data()), 0);
    return ::testing::internal::GetCapturedStdout();
  }
};

TestHeader report_header() {
  TestHeader t;
  t.hdr_cap = 0x4;
  t.hdr_checksum = 0xBA5;
  t.hdr_crc32 = 0x0ABCDEF0;
  for (size_t i = 0; i < 20; ++i) t.hdr_sha1[i] = static_cast<uint8_t>(i);
  t.timestamp = 0;
  t.req_sw = {"boot,1.0.0,+", "", "", "", ""};
  t.contents_checksum = 0;
  t.contents_crc32 = 0x1F;
  t.contents_sha1.fill(0xA0);
  return t;
}

TEST_F(Output, ReportListsTheFieldsInItsOwnOrder) {
  LoadedHeader h = LoadedHeader::binary(binary_form(report_header()));
  EXPECT_EQ(report(h.get()),
            "[VIF Header(v1) Infos]\n"
            " `+<magic>=4b45535452564946\n"
            " `+<hdr_version>=0x1\n"
            " `+<hdr_type>=0xa1(.VIF)\n"
            " `+<hdr_cap>=0x4(GZipped)\n"
            " `+<hdr_size>=0x400\n"
            " `+<hdr_checksum>=0xba5\n"
            " `+<hdr_crc32>=0xabcdef0\n"
            " `+<hdr_sha1>=000102030405060708090a0b0c0d0e0f10111213\n"
            " `+<alias>=boot\n"
            " `+<version>=1.0.2\n"
            " `+<req_hw>=%hw%,zt4100.1.0,+\n"
            " `+<req_sw0>=boot,1.0.0,+\n"
            " `+<req_sw1>=\n"
            " `+<req_sw2>=\n"
            " `+<req_sw3>=\n"
            " `+<req_sw4>=\n"
            " `+<tag_setup>=0x1\n"
            " `+<contents_off>=0x400\n"
            " `+<contents_size>=0x3e8\n"
            " `+<contents_type>=0xc1(androidboot)\n"
            " `+<contents_checksum>=0x0\n"
            " `+<contents_crc32>=0x1f\n"
            " `+<contents_sha1>=a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0\n");
}

// Labels of other values, lines shown only for non-zero values, the last representable time.
TEST_F(Output, ReportLabelsAndConditionalLines) {
  TestHeader t = report_header();
  t.hdr_type = 0xA2;
  t.hdr_cap = 0x1;
  t.tag_setup = 0;
  t.timestamp = 0xFFFFFFFF;
  t.contents_type = 0;
  std::string out = report(LoadedHeader::binary(binary_form(t)).get());
  for (const char* line : {" `+<hdr_type>=0xa2(.PKG)\n", " `+<hdr_cap>=0x1(Normal)\n",
                           " `+<timestamp>=0xffffffff(2106-02-07 15:28:15(GMT+9))\n"}) {
    EXPECT_THAT(out, HasSubstr(line));
  }
  EXPECT_THAT(out, Not(HasSubstr("tag_setup")));
  EXPECT_THAT(out, Not(HasSubstr("contents_type")));
  t.hdr_type = 0xA7;  // not valid, but the report shows what is there
  t.contents_type = 5;
  out = report(LoadedHeader::binary(binary_form(t)).get());
  EXPECT_THAT(out, HasSubstr(" `+<hdr_type>=0xa7(other)\n"));
  EXPECT_THAT(out, HasSubstr(" `+<contents_type>=0x5(raw)\n"));

  // A text form without alias shows an empty one; a malformed binary value shows no line.
  std::string text = text_form(report_header());
  text.erase(text.find(".$alias$="), text.find(".$timestamp$=") - text.find(".$alias$="));
  text.replace(text.find(".$contents_sha1$=20,"), 20, ".$contents_sha1$=2,");
  out = report(LoadedHeader::text(text).get());
  EXPECT_THAT(out, HasSubstr(" `+<alias>=\n"));
  EXPECT_THAT(out, Not(HasSubstr("contents_sha1")));

  // Nothing for other header versions, at low verbosity, or without a header.
  LoadedHeader h = LoadedHeader::binary(binary_form(report_header()));
  h->version = 2;
  EXPECT_EQ(report(h.get()), "");
  h->version = 1;
  core::set_verbosity(1);
  EXPECT_EQ(report(h.get()), "");
  EXPECT_EQ(report(nullptr), "");
  print_hex(3, nullptr);
  char small[11];
  const uint32_t zero = 0;
  EXPECT_STREQ(format_timestamp(&zero, small, sizeof(small), -5), "1969-12-31");
  EXPECT_EQ(format_timestamp(nullptr, small, sizeof(small), 9), nullptr);
}

TEST_F(Output, InfosSeparatesItemsAndPrintsBarsForUnknownNames) {
  LoadedHeader h = LoadedHeader::binary(binary_form(report_header()));
  const struct {
    const char* list;
    const char* out;
  } cases[] = {{"version,alias", "1.0.2|boot"},
               {"nosuch,version", "|1.0.2"},
               {"version,,alias", "1.0.2||boot"},
               {"version,", "1.0.2"},
               {"", ""},
               {"req_sw1,version", "|1.0.2"},  // an empty string still counts
               {"magic", "8,4B45535452564946"},
               {"version,hdr_checksum,hdr_sha1",
                "1.0.2|0x00000ba5|20,000102030405060708090A0B0C0D0E0F10111213"},
               {"hdr_cap,tag_setup", "0x00000004|0x00000001"}};
  for (const auto& c : cases) EXPECT_EQ(infos(h.get(), c.list), c.out) << c.list;
  char list[] = "version";
  EXPECT_EQ(cli::infos_print_fields(nullptr, list), -1);
  EXPECT_EQ(cli::infos_print_fields(h.get(), nullptr), -1);
}

TEST_F(Output, InfosKeepsTheColumnOfAValueThatCannotBeRead) {
  // A malformed binary value and an unreadable string keep their place, as an unknown name.
  std::string text = text_form(report_header());
  text.replace(text.find(".$hdr_sha1$=20,"), 15, ".$hdr_sha1$=19,");
  EXPECT_EQ(infos(LoadedHeader::text(text).get(), "hdr_sha1,version,hdr_sha1"), "|1.0.2|");

  std::vector<uint8_t> bytes = binary_form(report_header());
  std::fill(bytes.begin() + 0x74, bytes.end(), 'x');  // req_hw runs on past 128 characters
  LoadedHeader h = LoadedHeader::binary(bytes);
  EXPECT_EQ(infos(h.get(), "req_hw,alias"), "|boot");
}

TEST_F(Output, InfosEscapesBytesThatWouldBreakTheLine) {
  TestHeader t = report_header();
  t.version = "1.0|x\n\\\x01\x7F\xC3\xA9 y";
  LoadedHeader h = LoadedHeader::binary(binary_form(t));
  EXPECT_EQ(infos(h.get(), "version,alias"), "1.0\\x7Cx\\x0A\\\\\\x01\\x7F\xC3\xA9 y|boot");
}

TEST_F(Output, InfosGoesToTheReplyAlsoWhenQuiet) {
  LoadedHeader h = LoadedHeader::binary(binary_form(report_header()));
  std::array<char, core::REPLY_BUFFER_SIZE> reply{};
  core::set_reply_buffer(reply);
  core::set_verbosity(core::VERBOSITY_QUIET);
  EXPECT_EQ(infos(h.get(), "alias,contents_crc32"), "boot|0x0000001f");
  EXPECT_STREQ(reply.data(), "boot|0x0000001f");
  core::set_verbosity(core::VERBOSITY_QUIET - 1);
  EXPECT_EQ(infos(h.get(), "version"), "");
  EXPECT_STREQ(reply.data(), "boot|0x0000001f1.0.2");
}

}  // namespace
}  // namespace vorn::image
