#include "bootmap/boot_map.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "bootmap/cmdline.h"
#include "core/output.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/number_text.h"

namespace vorn::bootmap {

namespace {

using platform::copy_text;
using platform::slot_text;

BootMap g_map{};

// Splits text at the first occurrence of sep: the head is returned, text keeps the tail.
// Without sep the whole text is the head and found is false.
std::string_view cut(std::string_view& text, char sep, bool* found = nullptr) {
  const size_t at = text.find(sep);
  if (found) *found = at != std::string_view::npos;
  if (at == std::string_view::npos) {
    std::string_view head = text;
    text = {};
    return head;
  }
  std::string_view head = text.substr(0, at);
  text.remove_prefix(at + 1);
  return head;
}

// The map is built from what the boot loader wrote, whatever it is; what the parse has to drop
// is said on standard error, naming where the map came from, the key and the reason, so that a
// broken map is never silent. The tables come out exactly as without the warnings.
class MapParser {
 public:
  MapParser(BootMap& map, const char* origin) : map_(map), origin_(origin) {}

  // Builds the tables from the three value slots.
  void build() {
    map_.devices = {};
    map_.device_count = 0;
    parse_devices();
    map_.regions = {};
    map_.region_count = 0;
    parse_regions();
    map_.active = {};
    map_.active_count = 0;
    if (!parse_active()) {
      map_.active = {};
      map_.active_count = 0;
    }
  }

  // A cut value could name the wrong partition: an over-long one reads as absent instead.
  bool store_value(const char* key, std::array<char, BOOTMAP_VALUE_SIZE>& slot,
                   std::string_view value) {
    if (!platform::copy_text_whole(slot, value)) {
      slot.fill('\0');
      core::warn_printf("vorn: %s: %s: value of %zu characters ignored: at most %zu\n", origin_,
                        key, value.size(), BOOTMAP_VALUE_SIZE - 1);
      return false;
    }
    return true;
  }

  // Takes the value of a "bmap", "bmap_seq" or "bmap_dev" token; other tokens are ignored.
  bool take_token(std::string_view token) {
    bool has_eq = false;
    const std::string_view key = cut(token, '=', &has_eq);
    if (!has_eq || key.empty()) return true;
    if (key == "bmap") return store_value("bmap", map_.bmap, token);
    if (key == "bmap_seq") return store_value("bmap_seq", map_.bmap_seq, token);
    if (key == "bmap_dev") return store_value("bmap_dev", map_.bmap_dev, token);
    return true;
  }

 private:
  void warn_ignored(const char* key, const char* what, std::string_view item, const char* why) {
    core::warn_printf("vorn: %s: %s: %s \"%.*s\" ignored: %s\n", origin_, key, what,
                      static_cast<int>(item.size()), item.data(), why);
  }

  // Walks a list separated by sep, calling item(head) per item; the list ends at its end or at
  // the first empty item. item returns false to stop the walk.
  template <typename F>
  void walk_list(const char* key, std::string_view text, char sep, F&& item) {
    while (!text.empty()) {
      bool more = false;
      const std::string_view head = cut(text, sep, &more);
      if (head.empty()) {
        if (!text.empty()) warn_ignored(key, "text", text, "it follows an empty item");
        return;
      }
      if (!item(head)) return;
      if (!more) return;
    }
  }

  const BootDevice* find_device(std::string_view name) const {
    for (uint32_t i = 0; i < map_.device_count && i < MAX_DEVICES; ++i) {
      if (slot_text(map_.devices[i].name) == name) return &map_.devices[i];
    }
    return nullptr;
  }

  void parse_devices() {
    walk_list("bmap_dev", slot_text(map_.bmap_dev), ',', [this](std::string_view item) {
      bool has_colon = false;
      const std::string_view whole = item;
      const std::string_view name = cut(item, ':', &has_colon);
      if (!has_colon) {
        warn_ignored("bmap_dev", "item", whole, "no \":\"");
        return true;
      }
      if (map_.device_count >= MAX_DEVICES) {
        warn_ignored("bmap_dev", "device", name, "more than 10 devices");
        return false;
      }
      BootDevice& device = map_.devices[map_.device_count++];
      copy_text(device.name, name);
      copy_text(device.path, item);
      return true;
    });
  }

  const char* known_fs_type(std::string_view name) {
    for (const char* known : FS_TYPE_NAMES) {
      // Compared over at most 16 characters, as the boot loader's own parser does.
      if (std::string_view(known).substr(0, 16) == name.substr(0, 16)) return known;
    }
    warn_ignored("bmap", "file-system type", name, "read as \"ext4\"");
    return FS_EXT4;
  }

  bool parse_copy(std::string_view spec, BootPartition& copy) {
    if (spec.empty()) return false;
    copy = BootPartition{};
    std::string_view number_part = spec;
    if (spec.find('@') != std::string_view::npos) {
      const std::string_view device_name = cut(number_part, '@');
      copy.device = find_device(device_name);
      if (copy.device == nullptr) {
        warn_ignored("bmap", "copy", spec, "its device is not in bmap_dev");
        return false;
      }
    }
    bool has_fs = false;
    const std::string_view number = cut(number_part, '%', &has_fs);
    copy.number = platform::decimal_prefix(number);
    copy_text(copy.fs_type, has_fs ? known_fs_type(number_part) : FS_EXT4);
    return true;
  }

  void parse_regions() {
    walk_list("bmap", slot_text(map_.bmap), ',', [this](std::string_view item) {
      bool has_colon = false;
      const std::string_view whole = item;
      const std::string_view name = cut(item, ':', &has_colon);
      if (!has_colon) {
        warn_ignored("bmap", "item", whole, "no \":\"");
        return true;
      }
      if (map_.region_count >= MAX_REGIONS) {
        warn_ignored("bmap", "region", name, "more than 10 regions");
        return false;
      }
      BootRegion& region = map_.regions[map_.region_count];
      region = BootRegion{};
      walk_list("bmap", item, ':', [this, &region](std::string_view spec) {
        if (region.copy_count >= MAX_COPIES) {
          warn_ignored("bmap", "copy", spec, "more than 5 copies in its region");
          return false;
        }
        if (parse_copy(spec, region.copies[region.copy_count])) ++region.copy_count;
        return true;
      });
      if (region.copy_count == 0) {
        warn_ignored("bmap", "region", name, "no usable copy");
        return true;
      }
      copy_text(region.name, name);
      ++map_.region_count;
      return true;
    });
  }

  bool parse_active() {
    bool ok = true;
    walk_list("bmap_seq", slot_text(map_.bmap_seq), ':', [this, &ok](std::string_view item) {
      const uint32_t i = map_.active_count;
      if (i >= map_.region_count || i >= MAX_REGIONS) {
        warn_ignored("bmap_seq", "item", item, "more items than regions in bmap");
        return false;
      }
      const std::string_view whole = item;
      std::string_view device_name;
      bool named = item.find('@') != std::string_view::npos;
      if (named) device_name = cut(item, '@');
      const int number = platform::decimal_prefix(item);
      const BootRegion& region = map_.regions[i];
      for (uint32_t c = 0; c < region.copy_count && c < MAX_COPIES; ++c) {
        const BootPartition& copy = region.copies[c];
        const bool device_matches =
            named ? (copy.device != nullptr && slot_text(copy.device->name) == device_name)
                  : copy.device == nullptr;
        if (copy.number == number && device_matches) {
          map_.active[i] = BootSeqEntry{&region, &copy, c};
          ++map_.active_count;
          return true;
        }
      }
      core::warn_printf(
          "vorn: %s: bmap_seq: value ignored, no region is active: \"%.*s\" names no copy of "
          "region \"%s\"\n",
          origin_, static_cast<int>(whole.size()), whole.data(), region.name.data());
      ok = false;
      return false;
    });
    if (ok) {
      for (uint32_t i = map_.active_count; i < map_.region_count && i < MAX_REGIONS; ++i) {
        warn_ignored("bmap_seq", "region", slot_text(map_.regions[i].name), "no active copy");
      }
    }
    return ok;
  }

  BootMap& map_;
  const char* origin_;
};

constexpr char KERNEL_CMDLINE[] = "kernel command line";

std::span<const BootSeqEntry> active_entries() {
  if (g_map.active_count > MAX_REGIONS) return {};
  return {g_map.active.data(), g_map.active_count};
}

// The copies of an entry's region, empty when its count is out of range.
std::span<const BootPartition> copies_of(const BootSeqEntry& entry) {
  const BootRegion& region = *entry.region;
  if (region.copy_count > MAX_COPIES) return {};
  return {region.copies.data(), region.copy_count};
}

}  // namespace

const BootMap& bootmap() { return g_map; }

namespace {

void bootmap_keys_hook(char* token, void* /*context*/) {
  if (token != nullptr) (void)MapParser(g_map, KERNEL_CMDLINE).take_token(token);
}

}  // namespace

int bootmap_init() {
  g_map.bmap.fill('\0');
  g_map.bmap_seq.fill('\0');
  g_map.bmap_dev.fill('\0');
  cmdline_walk(nullptr, bootmap_keys_hook);
  MapParser(g_map, KERNEL_CMDLINE).build();
  return 0;
}

bool bootmap_set_values(const char* bmap, const char* bmap_seq, const char* bmap_dev) {
  g_map.bmap.fill('\0');
  g_map.bmap_seq.fill('\0');
  g_map.bmap_dev.fill('\0');
  MapParser parser(g_map, KERNEL_CMDLINE);
  bool ok = true;
  if (bmap) ok &= parser.store_value("bmap", g_map.bmap, bmap);
  if (bmap_seq) ok &= parser.store_value("bmap_seq", g_map.bmap_seq, bmap_seq);
  if (bmap_dev) ok &= parser.store_value("bmap_dev", g_map.bmap_dev, bmap_dev);
  parser.build();
  return ok;
}

const BootSeqEntry* bootmap_find(const char* name) {
  if (name == nullptr) return nullptr;
  for (const BootSeqEntry& entry : active_entries()) {
    if (entry.region != nullptr && slot_text(entry.region->name) == name) return &entry;
  }
  return nullptr;
}

int bootmap_region_count() {
  if (g_map.active_count > MAX_REGIONS) return -1;
  return static_cast<int>(g_map.active_count);
}

const char* bootmap_region_name(int i) {
  const auto entries = active_entries();
  if (i < 0 || static_cast<size_t>(i) >= entries.size()) return nullptr;
  return entries[static_cast<size_t>(i)].region->name.data();
}

int bootmap_copy_count(const char* name) {
  const BootSeqEntry* entry = bootmap_find(name);
  return entry ? static_cast<int>(copies_of(*entry).size()) : 0;
}

int bootmap_active_index(const char* name) {
  const BootSeqEntry* entry = bootmap_find(name);
  if (entry == nullptr || entry->index >= MAX_COPIES) return -1;
  return static_cast<int>(entry->index);
}

namespace {

const BootPartition* bootmap_copy_at(const char* name, int i) {
  const BootSeqEntry* entry = bootmap_find(name);
  if (entry == nullptr) return nullptr;
  const auto copies = copies_of(*entry);
  if (i < 0 || static_cast<size_t>(i) >= copies.size()) return nullptr;
  return &copies[static_cast<size_t>(i)];
}

}  // namespace

int bootmap_copy_number(const char* name, int i) {
  const BootPartition* copy = bootmap_copy_at(name, i);
  return copy ? copy->number : -1;
}

const char* bootmap_copy_fs(const char* name, int i) {
  const BootPartition* copy = bootmap_copy_at(name, i);
  return copy ? copy->fs_type.data() : nullptr;
}

const BootPartition* bootmap_copy_after(const char* name, int step) {
  const BootSeqEntry* entry = bootmap_find(name);
  if (entry == nullptr) return nullptr;
  const auto copies = copies_of(*entry);
  if (copies.empty() || entry->index >= copies.size() || step < 0) return nullptr;
  return &copies[(entry->index + static_cast<uint32_t>(step)) % copies.size()];
}

int bootmap_next_number(const char* name) {
  const BootPartition* copy = bootmap_copy_after(name, 1);
  return copy ? copy->number : -1;
}

const char* bootmap_next_fs(const char* name) {
  const BootPartition* copy = bootmap_copy_after(name, 1);
  return copy ? copy->fs_type.data() : nullptr;
}

namespace {

const BootPartition* bootmap_active_copy(const char* name) {
  const BootSeqEntry* entry = bootmap_find(name);
  return entry ? entry->copy : nullptr;
}

}  // namespace

int bootmap_active_number(const char* name) {
  const BootPartition* copy = bootmap_active_copy(name);
  return copy ? copy->number : -1;
}

const char* bootmap_active_fs(const char* name) {
  const BootPartition* copy = bootmap_active_copy(name);
  return copy ? copy->fs_type.data() : nullptr;
}

namespace {

bool copy_device_path(const BootPartition& copy, std::span<char> out) {
  const char* base = copy.device ? copy.device->path.data() : platform::DEFAULT_BLOCK_DEVICE;
  return platform::format_text(out, "%sp%d", base, copy.number);
}

int write_device(const BootPartition* copy, std::span<char> out) {
  if (copy == nullptr || out.empty()) return -1;
  return copy_device_path(*copy, out) ? 0 : -1;
}

}  // namespace

int bootmap_copy_device(const char* name, std::span<char> out, int i) {
  return write_device(bootmap_copy_at(name, i), out);
}

int bootmap_next_device(const char* name, std::span<char> out) {
  return write_device(bootmap_copy_after(name, 1), out);
}

int bootmap_active_device(const char* name, std::span<char> out) {
  return write_device(bootmap_active_copy(name), out);
}

const BootRegion* bootmap_find_by_name(const char* name, int* position) {
  if (name == nullptr || *name == '\0') return nullptr;
  const auto entries = active_entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (slot_text(entries[i].region->name) == name) {
      if (position) *position = static_cast<int>(i);
      return entries[i].region;
    }
  }
  return nullptr;
}

bool bootmap_parse(std::string_view text, BootMap& out) {
  out = BootMap{};
  MapParser parser(out, "stored boot map");
  bool ok = true;
  while (!text.empty()) {
    const std::string_view token = cut(text, ' ');
    if (!token.empty()) ok &= parser.take_token(token);
  }
  parser.build();
  return ok;
}

int bootmap_active_device(const BootMap& map, const char* name, std::span<char> out) {
  if (name == nullptr || map.active_count > MAX_REGIONS) return -1;
  for (uint32_t i = 0; i < map.active_count; ++i) {
    const BootSeqEntry& entry = map.active[i];
    if (entry.region != nullptr && slot_text(entry.region->name) == name) {
      return write_device(entry.copy, out);
    }
  }
  return -1;
}

}  // namespace vorn::bootmap
