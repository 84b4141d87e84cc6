#pragma once

// The part of Android's init language that vorn-init follows: one "service" section with the
// options "class", "user", "group" and one "socket". Anything else in the file is refused, so
// that the file the board's init reads is exactly the one the simulated device ran.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace vorn::tools {

struct ServiceSocket {
  std::string name;  // /dev/socket/<name>, ANDROID_SOCKET_<name>
  int type = 0;      // SOCK_STREAM, SOCK_DGRAM or SOCK_SEQPACKET
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct Service {
  std::string name;
  std::vector<std::string> argv;  // the program's path and its arguments
  std::vector<std::string> classes;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> supplementary_groups;
  ServiceSocket socket;
};

// Android's ids for the user and group names a service file may give; false for a name
// vorn-init does not know.
[[nodiscard]] bool android_id(std::string_view name, unsigned* id);

// Parses a service file's text. False when it is malformed, with error set to
// "<line>: <what is wrong>" (line 1 is the first line; the service line when something is
// missing from the service as a whole).
[[nodiscard]] bool parse_service_file(std::string_view text, Service* service, std::string* error);

}  // namespace vorn::tools
