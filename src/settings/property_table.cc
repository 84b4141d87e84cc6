#include "settings/property_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "core/hardware_tag.h"
#include "core/output.h"
#include "settings/boot_env.h"
#include "settings/net_setup.h"
#include "settings/system_actions.h"
#include "settings/update_limits.h"

namespace vorn::settings {

namespace {

constexpr size_t MAC_TEXT_LENGTH = 17;  // xx:xx:xx:xx:xx:xx
constexpr const char BOOT_LOADER_MAC_KEY[] = "ethaddr";

bool name_present(const char* name) { return name != nullptr && name[0] != '\0'; }

// Row 1: the stored version, else the hardware tag.
const char* hw_version_get(const char* name) {
  if (!name_present(name)) return nullptr;
  const char* stored = bootenv_get(name);
  return stored != nullptr ? stored : core::hardware_tag();
}

// Row 2: the stored address, else the boot loader's.
const char* mac_get(const char* name) {
  if (!name_present(name)) return nullptr;
  const char* stored = bootenv_get(name);
  return stored != nullptr ? stored : bootenv_get(BOOT_LOADER_MAC_KEY);
}

int mac_set(const char* name, const char* value) {
  if (!name_present(name)) return -1;
  if (value != nullptr && std::strlen(value) != MAC_TEXT_LENGTH) return -1;
  return bootenv_set(name, value);
}

constexpr uint32_t R = PROP_READ;
constexpr uint32_t RW = PROP_READ | PROP_WRITE;
constexpr uint32_t X = PROP_ACTION;

constexpr PropertyDesc stored(const char* name, const char* description,
                              const char* default_value = nullptr) {
  return {.name = name,
          .description = description,
          .access = RW,
          .getter = nullptr,
          .setter = nullptr,
          .action = nullptr,
          .default_value = default_value};
}

constexpr PropertyDesc action(const char* name, const char* description, PropertyAction run) {
  return {.name = name,
          .description = description,
          .access = X,
          .getter = nullptr,
          .setter = nullptr,
          .action = run,
          .default_value = nullptr};
}

constexpr PropertyDesc live(const char* name, const char* description, PropertyGetter get) {
  return {.name = name,
          .description = description,
          .access = R,
          .getter = get,
          .setter = nullptr,
          .action = nullptr,
          .default_value = nullptr};
}

constexpr size_t PROPERTY_ROWS = 31;

// The rows of the zt4100 family, in listing order, ended by a row without a name.
constexpr std::array<PropertyDesc, PROPERTY_ROWS + 1> ZT4100_PROPERTIES = {{
    {.name = "sys.hw.version",
     .description = "hardware version info",
     .access = RW,
     .getter = hw_version_get,
     .setter = nullptr,
     .action = nullptr,
     .default_value = "zt4100.0.0"},
    {.name = "sys.eth.addr",
     .description = "ethernet MAC address(':' seperated 6 hex digit)",
     .access = RW,
     .getter = mac_get,
     .setter = mac_set,
     .action = nullptr,
     .default_value = "1E:ED:19:27:1A:B3"},
    stored("sys.eth.if", "ethernet logical interface name", "eth0"),
    stored("sys.eth.ip.mode", "ethernet/ip address mode('static','dhcp')", "dhcp"),
    stored("sys.eth.ip.addrs", "ethernet/ip address('ipaddress/maskbit')"),
    stored("sys.eth.ip.gateway", "ethernet/ip gateway address('ipaddress')"),
    stored("sys.eth.ip.dns1", "ethernet/ip primary DNS server address('ipaddress')"),
    stored("sys.eth.ip.dns2", "ethernet/ip secondary DNS server address('ipaddress')"),
    action("sys.eth.ip.setup", "ethernet/ip run setup,option:mutualif=", net_setup_eth),
    stored("sys.wlan.if", "wlan logical interface name", "wlan0"),
    stored("sys.wlan.mode", "wlan mode('ap','device')", "device"),
    stored("sys.wlan.ssid", "wlan ssid", "zt4100"),
    stored("sys.wlan.secret", "wlan secret key('security_mode@key_value')"),
    stored("sys.wlan.ip.mode", "wlan/ip address mode('static','dhcp')", "dhcp"),
    stored("sys.wlan.ip.addrs", "wlan/ip address('ipaddress/maskbit')"),
    stored("sys.wlan.ip.gateway", "wlan/ip gateway address('ipaddress')"),
    stored("sys.wlan.ip.dns1", "wlan/ip primary DNS server address('ipaddress')"),
    stored("sys.wlan.ip.dns2", "wlan/ip secondary DNS server address('ipaddress')"),
    action("sys.wlan.ip.setup", "wlan/ip run setup,option:mutualif=", net_setup_wlan),
    stored("sys.watchdog.enable", "watchdog enable(1)/disable(0)", "0"),
    stored("sys.watchdog.timeout", "watchdog timeout(seconds)", "60"),
    live("sys.mem.free", "dram free(KB)", mem_free),
    live("sys.mem.total", "dram total(KB)", mem_total),
    live("sys.mem.cached", "dram cached(KB)", mem_cached),
    action("sys.mem.drop_caches", "dram drop caches", drop_caches),
    {.name = "sys.mem.min_free",
     .description = "get/set minimum free memory(KB)",
     .access = RW,
     .getter = min_free_get,
     .setter = min_free_set,
     .action = nullptr,
     .default_value = nullptr},
    action("sys.reboot", "reboot system", reboot_system),
    action("sys.debug.instant", "system debug instant(on/off),option: act=[on|off]", debug_instant),
    // Absent (the default) counts as on: vornd commits a trial boot at the first heartbeat.
    stored("sys.trial.autocommit", "upgrade trial boot commit at first heartbeat(1)/off(0)"),
    stored(UPDATE_STALL_PROPERTY, "update download: no byte for this long is a stall(seconds)",
           "30"),
    stored(UPDATE_RETRIES_PROPERTY, "update download: resumes after a cut or a stall", "5"),
    {.name = nullptr,
     .description = nullptr,
     .access = 0,
     .getter = nullptr,
     .setter = nullptr,
     .action = nullptr,
     .default_value = nullptr},
}};

template <size_t N>
consteval size_t named_rows(const std::array<PropertyDesc, N>& table) {
  size_t n = 0;
  while (n < N && table[n].name != nullptr && table[n].name[0] != '\0') ++n;
  return n;
}

template <size_t N>
consteval bool names_unique(const std::array<PropertyDesc, N>& table) {
  for (size_t i = 0; i < named_rows(table); ++i) {
    for (size_t j = i + 1; j < named_rows(table); ++j) {
      if (std::string_view(table[i].name) == table[j].name) return false;
    }
  }
  return true;
}

// Names are boot environment keys and plain names (no "!" or "@" in front), and every access
// has its text. (That each row's operations match its access is checked by the unit tests:
// the address of an external function is no constant expression in every build.)
template <size_t N>
consteval bool rows_consistent(const std::array<PropertyDesc, N>& table) {
  for (size_t i = 0; i < named_rows(table); ++i) {
    const PropertyDesc& row = table[i];
    const std::string_view name = row.name;
    if (name.size() > BOOTENV_KEY_MAX || name[0] == '!' || name[0] == '@') return false;
    if (name.find('=') != name.npos || row.description == nullptr) return false;
    if (row.access != 1 && row.access != 2 && row.access != 3 && row.access != 4 &&
        row.access != 7) {
      return false;
    }
  }
  return true;
}

static_assert(named_rows(ZT4100_PROPERTIES) == PROPERTY_ROWS, "31 rows before the end row");
static_assert(ZT4100_PROPERTIES.back().name == nullptr, "the table ends with a nameless row");
static_assert(names_unique(ZT4100_PROPERTIES), "property names must be unique");
static_assert(rows_consistent(ZT4100_PROPERTIES), "names must be plain keys with known access");

constexpr ModelDesc MODELS[] = {
    {.prefix = "zt4100", .table = ZT4100_PROPERTIES.data()},
    {.prefix = "q5", .table = ZT4100_PROPERTIES.data()},
    {.prefix = nullptr, .table = nullptr},
};

const PropertyDesc* g_selected = nullptr;
std::array<char, ACTION_RESULT_SIZE> g_action_result{};

int count_rows(const PropertyDesc* table) {
  int n = 0;
  while (name_present(table[n].name)) ++n;
  return n;
}

}  // namespace

const char* access_text(uint32_t access) {
  switch (access) {
    case 1:
      return "r--";
    case 2:
      return "-w-";
    case 3:
      return "rw-";
    case 4:
      return "--x";
    case 7:
      return "rwx";
    default:
      return nullptr;
  }
}

int property_table_select() {
  g_selected = nullptr;
  const std::string_view tag = core::hardware_tag();
  for (const ModelDesc* model = MODELS; name_present(model->prefix); ++model) {
    if (!tag.starts_with(model->prefix)) continue;
    g_selected = model->table;
    return g_selected != nullptr ? 0 : -1;
  }
  return -1;
}

int property_count(const PropertyDesc** table) {
  if (g_selected == nullptr) return -1;
  const int n = count_rows(g_selected);
  if (n > 0 && table != nullptr) *table = g_selected;
  return n;
}

const PropertyDesc* property_find(const char* name) {
  if (!name_present(name) || g_selected == nullptr) return nullptr;
  const std::string_view wanted = name;
  for (const PropertyDesc* row = g_selected; name_present(row->name); ++row) {
    if (wanted == row->name) return row;
  }
  return nullptr;
}

const char* property_get(const char* name) {
  if (!name_present(name)) return nullptr;
  if (name[0] == '@') return bootenv_get(name);
  if (name[0] == '!') {
    const PropertyDesc* row = property_find(name + 1);
    if (row == nullptr || (row->access & PROP_ACTION) == 0 || row->action == nullptr) {
      return nullptr;
    }
    g_action_result.fill('\0');
    const int result = row->action(ACTION_QUERY, name + 1, {.result = g_action_result});
    return result >= 0 ? g_action_result.data() : nullptr;
  }
  const PropertyDesc* row = property_find(name);
  if (row == nullptr || (row->access & PROP_READ) == 0) return nullptr;
  return row->getter != nullptr ? row->getter(name) : bootenv_get(name);
}

int property_set(const char* name, const char* value) {
  if (!name_present(name)) return PROP_SET_INVALID_NAME;
  if (name[0] == '@') return bootenv_set(name, value);
  if (name[0] == '!') {
    const PropertyDesc* row = property_find(name + 1);
    if (row == nullptr) return PROP_SET_NO_ROW;
    if ((row->access & PROP_ACTION) == 0) return PROP_SET_NO_ACTION_FLAG;
    if (row->action == nullptr) return PROP_SET_NO_ACTION;
    return row->action(ACTION_RUN, name + 1, {.result = {}, .option = value});
  }
  const PropertyDesc* row = property_find(name);
  if (row == nullptr) return PROP_SET_NO_ROW;
  if ((row->access & PROP_WRITE) == 0) return PROP_SET_NOT_WRITABLE;
  return row->setter != nullptr ? row->setter(name, value) : bootenv_set(name, value);
}

int property_set_defaults() {
  const PropertyDesc* table = nullptr;
  if (property_count(&table) < 0) return -1;
  int result = 0;
  for (const PropertyDesc* row = table; table != nullptr && name_present(row->name); ++row) {
    core::info_printf(" %-20s", row->name);
    const int set = property_set(row->name, row->default_value);
    // A row that refuses by its access (read-only and action rows) has nothing stored to
    // reset and is still reported as deleted; any other refusal is a store that did not
    // happen (an unusable or full boot environment) and must not be reported as done.
    if (set < 0 && set != PROP_SET_NOT_WRITABLE) {
      core::info_printf(" [fail]\n");
      result = -1;
    } else if (row->default_value != nullptr) {
      core::info_printf(" [set] : %s\n", row->default_value);
    } else {
      core::info_printf(" [del]\n");
    }
  }
  return result;
}

}  // namespace vorn::settings
