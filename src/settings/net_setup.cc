#include "settings/net_setup.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/output.h"
#include "platform/fixed_text.h"
#include "platform/number_text.h"
#include "platform/unique_fd.h"
#include "settings/platform_calls.h"

namespace vorn::settings {

namespace {

constexpr size_t MAC_TEXT_MAX = 17;
constexpr size_t PROPERTY_VALUE_SIZE = 32;  // interface name and MAC texts: 31 characters
constexpr size_t COMMAND_SIZE = 64;
constexpr size_t MESSAGE_SIZE = 2048;

static_assert(INTERFACE_NAME_MAX < IFNAMSIZ, "interface names fit the request's name field");

struct SetupProperties {
  const char* interface;
  const char* address;
};

constexpr SetupProperties ETH_PROPERTIES = {"sys.eth.if", "sys.eth.addr"};
// There is no "sys.wlan.addr" row, so the wireless run never sets an address.
constexpr SetupProperties WLAN_PROPERTIES = {"sys.wlan.if", "sys.wlan.addr"};

bool shell_safe_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == ':' || c == '-';
}

ifreq request_for(const char* name) {
  ifreq req{};
  platform::copy_text(req.ifr_name, name);
  return req;
}

bool current_address(int socket, const char* name, MacAddress& out) {
  ifreq req = request_for(name);
  if (platform_calls().interface_request(socket, SIOCGIFHWADDR, &req) != 0) {
    return false;
  }
  std::memcpy(out.data(), req.ifr_hwaddr.sa_data, out.size());
  return true;
}

bool set_address(int socket, const char* name, const MacAddress& address) {
  ifreq req = request_for(name);
  req.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(req.ifr_hwaddr.sa_data, address.data(), address.size());
  return platform_calls().interface_request(socket, SIOCSIFHWADDR, &req) == 0;
}

int change_up_flag(int socket, const char* name, bool up) {
  if (name == nullptr) return -1;
  ifreq req = request_for(name);
  PlatformCalls& calls = platform_calls();
  if (calls.interface_request(socket, SIOCGIFFLAGS, &req) != 0) return -1;
  if (up) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  } else {
    req.ifr_flags = static_cast<short>(req.ifr_flags & ~IFF_UP);
  }
  return calls.interface_request(socket, SIOCSIFFLAGS, &req) == 0 ? 0 : -1;
}

// The socket for the interface requests of one run; closed when the run ends.
platform::UniqueFd open_control_socket() {
  platform::UniqueFd socket = platform_calls().control_socket_open();
  if (!socket) {
    std::array<char, MESSAGE_SIZE> message{};
    platform::format_text(message, "socket() failed: %s\n", std::strerror(errno));
    core::info_printf("%s", message.data());
  }
  return socket;
}

// A property's value copied out of its producer's buffer (the next property read replaces
// it); empty when the property has no value or one longer than the slot.
using ValueSlot = std::array<char, PROPERTY_VALUE_SIZE>;
std::string_view read_property(const char* name, ValueSlot& slot) {
  slot.fill('\0');
  const char* value = property_get(name);
  if (value == nullptr || !platform::copy_text_whole(slot, value)) return {};
  return platform::slot_text(slot);
}

int setup_run(const SetupProperties& properties, const char* option) {
  // Interface names reach shell commands run as root: every one is checked before anything
  // is done.
  ValueSlot interface;
  const char* raw_interface = property_get(properties.interface);
  if (raw_interface == nullptr || raw_interface[0] == '\0') return NET_NO_INTERFACE;
  if (!platform::copy_text_whole(interface, raw_interface) ||
      !interface_name_valid(platform::slot_text(interface))) {
    return NET_BAD_INTERFACE;
  }
  std::array<char, INTERFACE_NAME_MAX + 1> mutual{};
  const bool has_mutual = option != nullptr && std::string_view(option).starts_with(MUTUAL_OPTION);
  if (has_mutual) {
    const std::string_view other = option + MUTUAL_OPTION.size();
    if (!interface_name_valid(other) || !platform::copy_text_whole(mutual, other)) {
      return NET_BAD_INTERFACE;
    }
  }

  ValueSlot address_text;
  const std::string_view address_value = read_property(properties.address, address_text);
  MacAddress wanted{};
  bool set_wanted = false;
  if (!address_value.empty()) {
    set_wanted = parse_mac(address_text.data(), wanted) == 0;
    // A value that does not parse must never become a zero or half-read address.
    if (!set_wanted) {
      core::info_printf("%s: invalid MAC address '%s', address not changed\n", properties.address,
                        address_text.data());
    }
  }

  const platform::UniqueFd socket = open_control_socket();

  if (set_wanted) {
    MacAddress current{};
    if (!current_address(socket.get(), interface.data(), current)) return NET_MAC_READ_FAILED;
    if (current != wanted && !set_address(socket.get(), interface.data(), wanted))
      return NET_MAC_SET_FAILED;
  }

  std::array<char, COMMAND_SIZE> command{};
  platform::format_text(command, "ip addr flush dev %s", interface.data());
  PlatformCalls& calls = platform_calls();
  (void)calls.shell(command.data());
  (void)calls.shell("busybox killall dhcpcd");
  std::fputs("-->killall dhcpcd\n", stdout);

  if (has_mutual) (void)change_up_flag(socket.get(), mutual.data(), false);
  (void)change_up_flag(socket.get(), interface.data(), false);
  (void)change_up_flag(socket.get(), interface.data(), true);
  return NET_OK;
}

int setup_action(const SetupProperties& properties, int mode, const char* name,
                 ActionArgument argument) {
  if (name == nullptr || name[0] == '\0') return NET_INVALID_NAME;
  if (mode == ACTION_QUERY) return NET_OK;
  if (mode != ACTION_RUN) return ACTION_BAD_MODE;
  return setup_run(properties, argument.option);
}

}  // namespace

int parse_mac(const char* text, MacAddress& out) {
  if (text == nullptr) return PARSE_MAC_INVALID;
  const std::string_view mac(text, ::strnlen(text, MAC_TEXT_MAX + 1));
  if (mac.size() > MAC_TEXT_MAX) return PARSE_MAC_INVALID;
  MacAddress bytes{};
  size_t pairs = 0;
  size_t i = 0;
  for (;;) {
    if (i + 2 > mac.size()) return PARSE_MAC_INVALID;
    const int high = platform::hex_digit(mac[i]);
    const int low = platform::hex_digit(mac[i + 1]);
    if (high < 0 || low < 0 || pairs == bytes.size()) return PARSE_MAC_INVALID;
    bytes[pairs++] = static_cast<uint8_t>(high << 4 | low);
    i += 2;
    if (i == mac.size()) break;
    // A ":" must be followed by one more pair.
    if (mac[i] != ':' || i + 1 == mac.size()) return PARSE_MAC_INVALID;
    ++i;
  }
  if (pairs != bytes.size()) return PARSE_MAC_INVALID;
  out = bytes;
  return 0;
}

bool interface_name_valid(std::string_view name) {
  if (name.empty() || name.size() > INTERFACE_NAME_MAX) return false;
  if (name == "." || name == ".." || name[0] == '-') return false;
  for (char c : name) {
    if (!shell_safe_char(c)) return false;
  }
  return true;
}

int net_setup_eth(int mode, const char* name, ActionArgument argument) {
  return setup_action(ETH_PROPERTIES, mode, name, argument);
}

int net_setup_wlan(int mode, const char* name, ActionArgument argument) {
  return setup_action(WLAN_PROPERTIES, mode, name, argument);
}

}  // namespace vorn::settings
