// vorn-init and vornc end to end, around a stand-in daemon (fake_vornd) that reaches nothing
// outside its socket; vorn-init's reader of the service file.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/temp_dir.h"
#include "vorn-init/service_file.h"

extern char** environ;

namespace {

using vorn::tools::parse_service_file;
using vorn::tools::Service;

// A client's exit status and standard output.
struct Outcome {
  int status = -1;
  std::string out;
};

pid_t spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

class Tools : public testing::Test {
 protected:
  Tools() : socket_(dir_.file("vornd")) {
    init_ = spawn({VORN_INIT, "-s", socket_, "-p", dir_.file("pid"), SERVICE_FILE, FAKE_VORND});
  }
  ~Tools() override {
    if (init_ > 0) {
      ::kill(init_, SIGTERM);
      ::waitpid(init_, nullptr, 0);
    }
  }

  // Runs vornc with the words to its end.
  Outcome ask(const std::vector<std::string>& words, bool text_only = false) {
    std::string command = std::string("'") + VORNC + "' -w 5 -s '" + socket_ + "'";
    if (text_only) command += " -t";
    for (const auto& w : words) command += " '" + w + "'";
    Outcome result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  vorn::test::TempDir dir_;
  std::string socket_;
  pid_t init_ = -1;
};

TEST_F(Tools, ClientSendsOneRequestAndExitsWithTheReplyCode) {
  ASSERT_GT(init_, 0);
  std::string longest = "vorn x";
  longest.resize(1023, ' ');
  const struct {
    std::vector<std::string> words;
    bool text_only;
    std::string out;
    int status;
  } cases[] = {
      {{"vorn", "a", "b"}, false, "3\nwords=3\n", 3},
      {{"vorn a b c d"}, false, "5\nwords=5\n", 5},  // one string, split by the daemon
      {{"vorn", "x"}, true, "words=2\n", 2},
      {{"foo"}, false, "-1\n", 255},
      {{longest}, false, "2\nwords=2\n", 2},
      {{longest + " "}, false, "", 125},  // refused: no reply
  };
  for (const auto& c : cases) {
    const Outcome r = ask(c.words, c.text_only);
    EXPECT_EQ(r.out, c.out) << c.words[0].substr(0, 20);
    EXPECT_EQ(r.status, c.status) << c.words[0].substr(0, 20);
  }
}

TEST_F(Tools, InitHandsOverTheSocketAndCleansUp) {
  ASSERT_GT(init_, 0);
  ASSERT_EQ(ask({"vorn"}).status, 1);
  struct stat st {};
  ASSERT_EQ(::stat(socket_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  std::ifstream pidfile(dir_.file("pid"));
  pid_t daemon_pid = 0;
  pidfile >> daemon_pid;
  EXPECT_GT(daemon_pid, 0);
  EXPECT_NE(daemon_pid, init_);

  ASSERT_EQ(::kill(init_, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(init_, &status, 0), init_);
  init_ = -1;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_NE(::access(socket_.c_str(), F_OK), 0);
  EXPECT_NE(::kill(daemon_pid, 0), 0);
}

// The init service file's reader: what vorn-init takes from a file, and the line it names for
// a malformed one.
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
  EXPECT_EQ(std::tie(s.uid, s.gid, s.supplementary_groups),
            std::make_tuple(1000u, 0u, std::vector<gid_t>{1000, 2000}));
  EXPECT_EQ(std::tie(s.socket.name, s.socket.type, s.socket.mode, s.socket.uid, s.socket.gid),
            std::make_tuple(std::string("vornd"), SOCK_SEQPACKET, 0640u, 1000u, 2000u));
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
