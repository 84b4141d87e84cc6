#include "settings/net_setup.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "cli/property_command.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "device_fixture.h"
#include "fake_platform_calls.h"

namespace vorn::settings::test {
namespace {

using Log = std::vector<std::string>;

TEST(ParseMac, AcceptsSixHexPairsInEitherCase) {
  MacAddress out{};
  EXPECT_EQ(parse_mac("1E:ED:19:27:1A:B3", out), 0);
  EXPECT_EQ(out, (MacAddress{0x1E, 0xED, 0x19, 0x27, 0x1A, 0xB3}));
  EXPECT_EQ(parse_mac("1e:ed:19:27:1a:b3", out), 0);
  EXPECT_EQ(out, (MacAddress{0x1E, 0xED, 0x19, 0x27, 0x1A, 0xB3}));
  EXPECT_EQ(parse_mac("00:00:00:00:00:01", out), 0);
  EXPECT_EQ(out, (MacAddress{0, 0, 0, 0, 0, 1}));
}

TEST(ParseMac, RejectsEverythingElseAndLeavesTheOutputAlone) {
  const MacAddress untouched{1, 2, 3, 4, 5, 6};
  for (const char* text : {"1E:ED:19:27:1A", "1E:ED:19:27:1A:B3:44", "1E:ED:19:27:1A:B3:", "1E", "",
                           "1E:ED:19:27:1A:B", "1E:ED:19:27:1A:BG", "1E-ED-19-27-1A-B3",
                           "1EED:19:27:1A:B3:", "1E::ED:19:27:1A:B", ":1E:ED:19:27:1A:B3",
                           "1E:ED:19:27:1A:B3 ", "zz:zz:zz:zz:zz:zz", "1E:ED:19:27:1AB3:"}) {
    MacAddress out = untouched;
    EXPECT_EQ(parse_mac(text, out), PARSE_MAC_INVALID) << text;
    EXPECT_EQ(out, untouched) << text;
  }
  MacAddress out{};
  EXPECT_EQ(parse_mac(nullptr, out), PARSE_MAC_INVALID);
}

TEST(InterfaceName, OnlyPlainNamesUpToFifteenCharacters) {
  for (const char* name :
       {"eth0", "wlan0", "br-lan", "eth0.100", "eth0:1", "a", "usb_0", "abcdefghijklmno"}) {
    EXPECT_TRUE(interface_name_valid(name)) << name;
  }
  for (const char* name :
       {"", ".", "..", "abcdefghijklmnop", "eth0;reboot", "eth 0", "eth0\n", "a/b", "$(reboot)",
        "`id`", "e|x", "e&x", "e>x", "-x", "e\"x", "e'x", "e*", "e\\x"}) {
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

  int run_eth(const char* option = nullptr) {
    return capture([&] {
      return net_setup_eth(ACTION_RUN, "sys.eth.ip.setup", {.result = {}, .option = option});
    });
  }
  int run_wlan(const char* option = nullptr) {
    return capture([&] {
      return net_setup_wlan(ACTION_RUN, "sys.wlan.ip.setup", {.result = {}, .option = option});
    });
  }

  int capture(const std::function<int()>& run) {
    testing::internal::CaptureStdout();
    const int result = run();
    output_ = testing::internal::GetCapturedStdout();
    return result;
  }

  // The run after the socket was opened, for an interface whose address is already right.
  static Log plain_run(const std::string& name) {
    return {"shell ip addr flush dev " + name,
            "shell busybox killall dhcpcd",
            "get-flags " + name,
            "down " + name,
            "get-flags " + name,
            "up " + name};
  }

  static Log joined(Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  FakePlatformCalls calls_;
  std::string output_;
};

TEST_F(NetSetupTest, SameAddressMakesNoSetRequest) {
  write_entries({"sys.eth.if=eth0", "sys.eth.addr=1e:ed:19:27:1a:b3"});
  EXPECT_EQ(run_eth(), NET_OK);
  EXPECT_EQ(calls_.log, joined({"open", "get-address eth0"}, plain_run("eth0")));
  EXPECT_EQ(output_, "-->killall dhcpcd\n");
  EXPECT_FALSE(calls_.socket_open());
  EXPECT_TRUE(calls_.interfaces["eth0"].flags & IFF_UP);
}

TEST_F(NetSetupTest, DifferentAddressIsSetWithEthernetFamilyBeforeTheFlush) {
  write_entries({"sys.eth.if=eth0", "sys.eth.addr=02:11:22:33:44:55"});
  EXPECT_EQ(run_eth(), NET_OK);
  EXPECT_EQ(calls_.log,
            joined({"open", "get-address eth0", "set-address eth0 family 1 02:11:22:33:44:55"},
                   plain_run("eth0")));
  EXPECT_EQ(calls_.interfaces["eth0"].address, (MacAddress{2, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

TEST_F(NetSetupTest, BootLoaderAddressIsUsedWhenNoneIsStored) {
  write_entries({"sys.eth.if=eth0", "ethaddr=02:00:00:00:00:01"});
  EXPECT_EQ(run_eth(), NET_OK);
  EXPECT_EQ(calls_.log[2], "set-address eth0 family 1 02:00:00:00:00:01");
}

TEST_F(NetSetupTest, NoAddressPropertySkipsTheAddressStep) {
  write_entries({"sys.eth.if=eth0"});
  EXPECT_EQ(run_eth(), NET_OK);
  EXPECT_EQ(calls_.log, joined({"open"}, plain_run("eth0")));
}

TEST_F(NetSetupTest, AddressThatDoesNotParseIsNeverSet) {
  for (const char* bad : {"zz:zz:zz:zz:zz:zz", "02:11:22:33:44:5", "02:11:22:33:44:55:66"}) {
    write_entries({"sys.eth.if=eth0", std::string("sys.eth.addr=") + bad});
    calls_.log.clear();
    EXPECT_EQ(run_eth(), NET_OK) << bad;
    EXPECT_EQ(calls_.log, joined({"open"}, plain_run("eth0"))) << bad;
    EXPECT_NE(output_.find("invalid MAC address"), std::string::npos);
  }
  EXPECT_EQ(calls_.interfaces["eth0"].address, (MacAddress{0x1E, 0xED, 0x19, 0x27, 0x1A, 0xB3}));
}

TEST_F(NetSetupTest, MutualInterfaceGoesDownFirst) {
  write_entries({"sys.eth.if=eth0"});
  EXPECT_EQ(run_eth("mutualif=wlan0"), NET_OK);
  EXPECT_EQ(calls_.log, (Log{"open", "shell ip addr flush dev eth0", "shell busybox killall dhcpcd",
                             "get-flags wlan0", "down wlan0", "get-flags eth0", "down eth0",
                             "get-flags eth0", "up eth0"}));
  EXPECT_FALSE(calls_.interfaces["wlan0"].flags & IFF_UP);
}

TEST_F(NetSetupTest, OtherOptionsAreIgnored) {
  write_entries({"sys.eth.if=eth0"});
  for (const char* option : {"", "mutual=wlan0", "xmutualif=wlan0", "MUTUALIF=wlan0"}) {
    calls_.log.clear();
    EXPECT_EQ(run_eth(option), NET_OK) << option;
    EXPECT_EQ(calls_.log, joined({"open"}, plain_run("eth0"))) << option;
  }
}

TEST_F(NetSetupTest, MissingInterfaceNameRunsNothing) {
  write_entries({});
  EXPECT_EQ(run_eth(), NET_NO_INTERFACE);
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(NetSetupTest, MaliciousInterfaceNamesAreRefusedBeforeAnything) {
  const std::string over_slot(40, 'e');
  for (const char* bad : {"eth0;reboot", "eth0 && reboot", "$(reboot)", "eth0|sh", "..",
                          "abcdefghijklmnop", "-eth0", over_slot.c_str()}) {
    write_entries({std::string("sys.eth.if=") + bad, "sys.eth.addr=02:11:22:33:44:55"});
    EXPECT_EQ(run_eth(), NET_BAD_INTERFACE) << bad;
  }
  write_entries({"sys.eth.if=eth0", "sys.eth.addr=02:11:22:33:44:55"});
  for (const char* bad : {"mutualif=", "mutualif=wlan0;reboot", "mutualif=../x",
                          "mutualif=abcdefghijklmnop", "mutualif=$(id)"}) {
    EXPECT_EQ(run_eth(bad), NET_BAD_INTERFACE) << bad;
  }
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(NetSetupTest, WirelessRunNeverTouchesTheAddress) {
  write_entries({"sys.wlan.if=wlan0", "sys.eth.addr=02:11:22:33:44:55"});
  EXPECT_EQ(run_wlan("mutualif=eth0"), NET_OK);
  EXPECT_EQ(calls_.log, (Log{"open", "shell ip addr flush dev wlan0",
                             "shell busybox killall dhcpcd", "get-flags eth0", "down eth0",
                             "get-flags wlan0", "down wlan0", "get-flags wlan0", "up wlan0"}));
}

TEST_F(NetSetupTest, AddressReadOrSetFailureEndsTheRunAndClosesTheSocket) {
  write_entries({"sys.eth.if=eth0", "sys.eth.addr=02:11:22:33:44:55"});
  calls_.fail_get_address = true;
  EXPECT_EQ(run_eth(), NET_MAC_READ_FAILED);
  EXPECT_EQ(calls_.log, (Log{"open", "get-address eth0"}));
  calls_.fail_get_address = false;
  calls_.fail_set_address = true;
  calls_.log.clear();
  EXPECT_EQ(run_eth(), NET_MAC_SET_FAILED);
  EXPECT_EQ(calls_.log,
            (Log{"open", "get-address eth0", "set-address eth0 family 1 02:11:22:33:44:55"}));
  EXPECT_FALSE(calls_.socket_open());
}

TEST_F(NetSetupTest, UnknownInterfaceStillCompletes) {
  write_entries({"sys.eth.if=eth9"});
  EXPECT_EQ(run_eth(), NET_OK);
  EXPECT_EQ(calls_.log, (Log{"open", "shell ip addr flush dev eth9", "shell busybox killall dhcpcd",
                             "get-flags eth9", "get-flags eth9"}));
}

TEST_F(NetSetupTest, SocketFailureIsReportedAndTheRunGoesOn) {
  write_entries({"sys.eth.if=eth0"});
  calls_.fail_socket = true;
  EXPECT_EQ(run_eth(), NET_OK);
  EXPECT_EQ(output_.rfind("socket() failed: ", 0), 0u);
  EXPECT_NE(output_.find("-->killall dhcpcd\n"), std::string::npos);
  EXPECT_EQ(calls_.log[0], "open");
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

TEST_F(NetSetupTest, RunThroughSetpropReducesFailuresToMinusOne) {
  write_entries({"sys.eth.if=eth0;reboot"});
  EXPECT_EQ(
      capture([] { return cli::property_command(true, "!sys.eth.ip.setup", nullptr, false); }), -1);
  write_entries({"sys.eth.if=eth0"});
  EXPECT_EQ(capture([] {
              return cli::property_command(true, "!sys.eth.ip.setup", "mutualif=wlan0", false);
            }),
            0);
  EXPECT_EQ(calls_.log.front(), "open");
}

}  // namespace
}  // namespace vorn::settings::test
