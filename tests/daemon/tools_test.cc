// vorn-init and vornc end to end, around a stand-in daemon (fake_vornd) that reaches nothing
// outside its socket.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

extern char** environ;

namespace {

// Runs a program to its end; its exit status and standard output.
struct Outcome {
  int status = -1;
  std::string out;
};

Outcome run(std::vector<std::string> args, const char* redirect = "") {
  std::string command;
  for (const auto& a : args) command += "'" + a + "' ";
  command += redirect;
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

  Outcome ask(std::vector<std::string> words, bool text_only = false) {
    std::vector<std::string> args = {VORNC, "-w", "5", "-s", socket_};
    if (text_only) args.emplace_back("-t");
    args.insert(args.end(), words.begin(), words.end());
    return run(args);
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

}  // namespace
