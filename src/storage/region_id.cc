#include "storage/region_id.h"

#include <optional>

#include "platform/fixed_text.h"
#include "platform/number_text.h"

namespace vorn::storage {

bool region_id_parse(std::string_view text, RegionId& out) {
  out = RegionId{};
  size_t split = text.find('#');
  out.selector = CopySelector::INDEX;
  if (split == std::string_view::npos) {
    split = text.find('~');
    out.selector = CopySelector::NEXT;
  }
  if (split == std::string_view::npos) {
    out.selector = CopySelector::ACTIVE;
    return platform::copy_text_whole(out.name, text);
  }
  const std::optional<int> number = platform::plain_decimal(text.substr(split + 1));
  if (!number || !platform::copy_text_whole(out.name, text.substr(0, split))) return false;
  if (out.selector == CopySelector::INDEX) {
    out.index = *number;
  } else if (*number == 0) {
    out.selector = CopySelector::ACTIVE;
  }
  return true;
}

bool region_id_select(const RegionId& id, SelectedCopy& out) {
  out = SelectedCopy{};
  const char* name = id.name.data();
  int found = -1;
  switch (id.selector) {
    case CopySelector::INDEX:
      found = bootmap::bootmap_copy_device(name, out.device, id.index);
      out.number = bootmap::bootmap_copy_number(name, id.index);
      out.fs_type = bootmap::bootmap_copy_fs(name, id.index);
      break;
    case CopySelector::NEXT:
      found = bootmap::bootmap_next_device(name, out.device);
      out.number = bootmap::bootmap_next_number(name);
      out.fs_type = bootmap::bootmap_next_fs(name);
      break;
    case CopySelector::ACTIVE:
      found = bootmap::bootmap_active_device(name, out.device);
      out.number = bootmap::bootmap_active_number(name);
      out.fs_type = bootmap::bootmap_active_fs(name);
      break;
  }
  return found == 0 && out.fs_type != nullptr;
}

}  // namespace vorn::storage
