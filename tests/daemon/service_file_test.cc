// The init service file's reader: what vorn-init takes from a file, and the line it names for
// a malformed one.

#include "vorn-init/service_file.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

namespace {

using vorn::tools::parse_service_file;
using vorn::tools::Service;

TEST(ServiceFile, ReadsTheServiceItsSocketAndIds) {
  Service s;
  std::string error;
  ASSERT_TRUE(
      parse_service_file("# comment\n"
                         "service vornd /system/bin/vornd -v  # trailing comment\n"
                         "\n"
                         "    class main late_start\n"
                         "\tuser system\n"
                         "    group root system shell\n"
                         "    socket vornd seqpacket 0640 system shell u:object_r:x:s0",
                         &s, &error))
      << error;
  EXPECT_EQ(s.name, "vornd");
  EXPECT_EQ(s.argv, (std::vector<std::string>{"/system/bin/vornd", "-v"}));
  EXPECT_EQ(s.classes, (std::vector<std::string>{"main", "late_start"}));
  EXPECT_EQ(s.uid, 1000u);
  EXPECT_EQ(s.gid, 0u);
  EXPECT_EQ(s.supplementary_groups, (std::vector<gid_t>{1000, 2000}));
  EXPECT_EQ(s.socket.name, "vornd");
  EXPECT_EQ(s.socket.type, SOCK_SEQPACKET);
  EXPECT_EQ(s.socket.mode, 0640u);
  EXPECT_EQ(s.socket.uid, 1000u);
  EXPECT_EQ(s.socket.gid, 2000u);
}

TEST(ServiceFile, MalformedFileNamesTheLine) {
  const std::string service = "service vornd /system/bin/vornd\n";
  const std::string socket = "  socket vornd stream 0660 root system\n";
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "no service in the file"},
      {"service vornd\n", "1: 'service' wants at least 2 arguments, not 1"},
      {"class main\n" + service + socket, "1: 'class' outside a service"},
      {service + "  sockett vornd stream 0660\n", "2: unknown option 'sockett'"},
      {service + "  socket vornd strem 0660\n",
       "2: socket type 'strem' is not stream, dgram or seqpacket"},
      {service + "  socket vornd stream 0668\n",
       "2: socket mode '0668' is not octal from 0 to 0777"},
      {service + "  socket vornd stream 1777\n",
       "2: socket mode '1777' is not octal from 0 to 0777"},
      {service + "  socket vornd stream\n", "2: 'socket' wants 3 to 6 arguments, not 2"},
      {service + "  socket vornd stream 0660 nobody\n", "2: unknown user 'nobody'"},
      {service + socket + "  user root system\n", "3: 'user' wants 1 argument, not 2"},
      {service + socket + "  group root wheel\n", "3: unknown group 'wheel'"},
      {service + socket + socket, "3: 'socket' given twice"},
      {service + socket + service, "3: a second service (vorn-init starts one)"},
      {service + socket + "  class \"main\"\n",
       "3: quotes and continued lines are not read by vorn-init"},
      {service + "  class main \\\n", "2: quotes and continued lines are not read by vorn-init"},
      {"\n" + service + "  class main\n", "2: service vornd has no socket"},
  };
  for (const auto& c : cases) {
    Service s;
    std::string error;
    EXPECT_FALSE(parse_service_file(c.text, &s, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

}  // namespace
