#include "settings/net_setup.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/hardware_tag.h"
#include "core/output.h"
#include "device_fixture.h"
#include "fake_platform_calls.h"

namespace vorn::settings::test {
namespace {

using Log = std::vector<std::string>;

TEST(ParseMac, SixHexPairsInEitherCaseAndNothingElse) {
  MacAddress out{};
  EXPECT_EQ(parse_mac("1e:ED:19:27:1a:B3", out), 0);
  EXPECT_EQ(out, (MacAddress{0x1E, 0xED, 0x19, 0x27, 0x1A, 0xB3}));
  const MacAddress untouched{1, 2, 3, 4, 5, 6};
  for (const char* text : {"1E:ED:19:27:1A", "1E:ED:19:27:1A:B3:", "", "1E:ED:19:27:1A:B",
                           "1E:ED:19:27:1A:BG", "1E-ED-19-27-1A-B3", "1E::ED:19:27:1A:B"}) {
    out = untouched;
    EXPECT_EQ(parse_mac(text, out), PARSE_MAC_INVALID) << text;
    EXPECT_EQ(out, untouched) << text;
  }
  EXPECT_EQ(parse_mac(nullptr, out), PARSE_MAC_INVALID);
}

// Interface names reach shell commands run as root.
TEST(InterfaceName, OnlyPlainNamesUpToFifteenCharacters) {
  for (const char* name : {"eth0", "br-lan", "eth0.100", "eth0:1", "usb_0", "abcdefghijklmno"}) {
    EXPECT_TRUE(interface_name_valid(name)) << name;
  }
  for (const char* name : {"", ".", "..", "abcdefghijklmnop", "eth0;reboot", "eth 0", "a/b",
                           "$(reboot)", "`id`", "e|x", "-x", "e\"x", "e\\x"}) {
    EXPECT_FALSE(interface_name_valid(name)) << name;
  }
}

class NetSetupTest : public DeviceFixture {
 protected:
  NetSetupTest() {
    core::hardware_tag_set("zt4100.0.0");
    EXPECT_EQ(property_table_select(), 0);
    calls_.interfaces["eth0"] = {.address = {0x1E, 0xED, 0x19, 0x27, 0x1A, 0xB3}, .flags = IFF_UP};
    calls_.interfaces["wlan0"] = {.address = {2, 0, 0, 0, 0, 9}, .flags = IFF_UP};
    core::set_verbosity(core::VERBOSITY_NORMAL);
  }
  ~NetSetupTest() override {
    core::hardware_tag_clear();
    (void)property_table_select();
  }

  int run(bool wlan, const char* option = nullptr) {
    calls_.log.clear();
    testing::internal::CaptureStdout();
    const ActionArgument argument{.result = {}, .option = option};
    const int result = wlan ? net_setup_wlan(ACTION_RUN, "sys.wlan.ip.setup", argument)
                            : net_setup_eth(ACTION_RUN, "sys.eth.ip.setup", argument);
    output_ = testing::internal::GetCapturedStdout();
    return result;
  }

  // After the address step: flush, DHCP clients stopped, the interface named by "mutualif="
  // down, the interface down and up.
  static Log run_log(Log log, const std::string& name, const std::string& mutual = "") {
    log.insert(log.end(), {"shell ip addr flush dev " + name, "shell busybox killall dhcpcd"});
    if (!mutual.empty()) log.insert(log.end(), {"get-flags " + mutual, "down " + mutual});
    log.insert(log.end(), {"get-flags " + name, "down " + name, "get-flags " + name, "up " + name});
    return log;
  }

  FakePlatformCalls calls_;
  std::string output_;
};

TEST_F(NetSetupTest, RunsInOrder) {
  const std::string get = "get-address eth0";
  const std::string set = "set-address eth0 family 1 ";  // ARPHRD_ETHER
  // The same address needs no set request; another is set before the flush; without a stored
  // one the boot loader's is used; one that does not parse is never set.
  const struct {
    const char* entry;
    const char* option;
    Log address_step;
    const char* bad_address = nullptr;
  } cases[] = {{"sys.eth.addr=1e:ed:19:27:1a:b3", nullptr, {get}},
               {"sys.eth.addr=02:11:22:33:44:55", nullptr, {get, set + "02:11:22:33:44:55"}},
               {"ethaddr=02:00:00:00:00:01", nullptr, {get, set + "02:00:00:00:00:01"}},
               {"sys.eth.addr=02:11:22:33:44:5", nullptr, {}, "02:11:22:33:44:5"},
               {"sys.eth.addr=zz:11:22:33:44:55", nullptr, {}, "zz:11:22:33:44:55"},
               {"", "mutualif=wlan0", {}},
               {"", "MUTUALIF=wlan0", {}}};
  for (const auto& c : cases) {
    write_entries({"sys.eth.if=eth0", c.entry});
    EXPECT_EQ(run(false, c.option), NET_OK) << c.entry;
    Log expected = {"open"};
    expected.insert(expected.end(), c.address_step.begin(), c.address_step.end());
    const bool mutual = c.option && std::string(c.option).starts_with("mutualif=");
    EXPECT_EQ(calls_.log, run_log(expected, "eth0", mutual ? "wlan0" : "")) << c.entry;
    EXPECT_EQ(output_, (c.bad_address ? std::string("sys.eth.addr: invalid MAC address '") +
                                            c.bad_address + "', address not changed\n"
                                      : "") +
                           "-->killall dhcpcd\n");
    EXPECT_FALSE(calls_.socket_open());
  }
  EXPECT_EQ(calls_.interfaces["eth0"].address, (MacAddress{2, 0, 0, 0, 0, 1}));
  EXPECT_FALSE(calls_.interfaces["wlan0"].flags & IFF_UP);
  // The wireless run never touches the address; an unknown interface still completes.
  write_entries({"sys.wlan.if=wlan0", "sys.eth.addr=02:11:22:33:44:55"});
  EXPECT_EQ(run(true, "mutualif=eth0"), NET_OK);
  EXPECT_EQ(calls_.log, run_log({"open"}, "wlan0", "eth0"));
  write_entries({"sys.eth.if=eth9"});
  EXPECT_EQ(run(false), NET_OK);
  EXPECT_EQ(calls_.log, (Log{"open", "shell ip addr flush dev eth9", "shell busybox killall dhcpcd",
                             "get-flags eth9", "get-flags eth9"}));
}

TEST_F(NetSetupTest, FailuresEndTheRunBeforeAnythingOrCloseTheSocket) {
  for (const std::string& name :
       {std::string(""), std::string("eth0;reboot"), std::string(40, 'e')}) {
    write_entries({"sys.eth.if=" + name});
    EXPECT_EQ(run(false), name.empty() ? NET_NO_INTERFACE : NET_BAD_INTERFACE) << name;
  }
  write_entries({"sys.eth.if=eth0", "sys.eth.addr=02:11:22:33:44:55"});
  EXPECT_EQ(run(false, "mutualif="), NET_BAD_INTERFACE);
  EXPECT_EQ(run(false, "mutualif=wlan0;reboot"), NET_BAD_INTERFACE);
  EXPECT_TRUE(calls_.log.empty());
  calls_.fail_get_address = true;
  EXPECT_EQ(run(false), NET_MAC_READ_FAILED);
  EXPECT_EQ(calls_.log, (Log{"open", "get-address eth0"}));
  calls_.fail_get_address = false;
  calls_.fail_set_address = true;
  EXPECT_EQ(run(false), NET_MAC_SET_FAILED);
  EXPECT_EQ(calls_.log.back(), "set-address eth0 family 1 02:11:22:33:44:55");
  EXPECT_FALSE(calls_.socket_open());
  // Without a socket the run still goes on.
  write_entries({"sys.eth.if=eth0"});
  calls_.fail_socket = true;
  EXPECT_EQ(run(false), NET_OK);
  EXPECT_EQ(output_,
            std::string("socket() failed: ") + std::strerror(EMFILE) + "\n-->killall dhcpcd\n");
  EXPECT_EQ(calls_.log[1], "shell ip addr flush dev eth0");
}

TEST_F(NetSetupTest, QueryAndOtherModesDoNothing) {
  write_entries({"sys.eth.if=eth0"});
  std::array<char, ACTION_RESULT_SIZE> result{};
  EXPECT_EQ(net_setup_eth(ACTION_QUERY, "sys.eth.ip.setup", {.result = result}), 0);
  EXPECT_EQ(net_setup_wlan(ACTION_QUERY, "sys.wlan.ip.setup", {.result = result}), 0);
  EXPECT_EQ(net_setup_eth(2, "sys.eth.ip.setup", {}), ACTION_BAD_MODE);
  EXPECT_EQ(net_setup_eth(ACTION_RUN, "", {}), NET_INVALID_NAME);
  EXPECT_EQ(net_setup_wlan(ACTION_RUN, nullptr, {}), NET_INVALID_NAME);
  EXPECT_STREQ(result.data(), "");
  EXPECT_TRUE(calls_.log.empty());
}

}  // namespace
}  // namespace vorn::settings::test
