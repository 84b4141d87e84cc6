#pragma once

// Set-up actions of the wired and wireless interfaces ("!sys.eth.ip.setup",
// "!sys.wlan.ip.setup"): set the hardware address from its property when it differs, flush
// the interface's IP addresses, stop every DHCP client, take the interface named by an option
// "mutualif=<name>" down, then take the interface down and up again.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "settings/property_table.h"

namespace vorn::settings {

inline constexpr size_t INTERFACE_NAME_MAX = 15;  // the kernel's 16-byte name field
inline constexpr std::string_view MUTUAL_OPTION = "mutualif=";

// Results of a run.
inline constexpr int NET_OK = 0;
inline constexpr int NET_INVALID_NAME = -1;     // absent or empty property name
inline constexpr int NET_NO_INTERFACE = -2;     // interface property without a value
inline constexpr int NET_MAC_READ_FAILED = -3;  // current hardware address unreadable
inline constexpr int NET_MAC_SET_FAILED = -4;   // new hardware address refused
inline constexpr int NET_BAD_INTERFACE = -5;    // interface name unfit for commands/requests

inline constexpr int PARSE_MAC_INVALID = 22;  // EINVAL

using MacAddress = std::array<uint8_t, 6>;

// 0 when text is exactly six ":"-separated pairs of hex digits (either case) and stores the six
// bytes in out; PARSE_MAC_INVALID otherwise, leaving out untouched.
[[nodiscard]] int parse_mac(const char* text, MacAddress& out);

// True for a name usable in interface requests and shell commands: 1 to INTERFACE_NAME_MAX
// characters out of [A-Za-z0-9_.:-], not starting with "-", and neither "." nor "..".
[[nodiscard]] bool interface_name_valid(std::string_view name);

// Actions of the two rows. NET_* results; 0 for a query; ACTION_BAD_MODE for another mode.
// A run refuses an invalid interface name (property or option) with NET_BAD_INTERFACE before
// any request or command. A hardware address property that does not parse skips the address
// step (with a message) instead of setting a wrong address.
[[nodiscard]] int net_setup_eth(int mode, const char* name, ActionArgument argument);
[[nodiscard]] int net_setup_wlan(int mode, const char* name, ActionArgument argument);

}  // namespace vorn::settings
