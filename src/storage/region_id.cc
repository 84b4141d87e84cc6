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

const bootmap::BootPartition* region_id_copy(const RegionId& id) {
  switch (id.selector) {
    case CopySelector::INDEX:
      return bootmap::bootmap_copy_at(id.name.data(), id.index);
    case CopySelector::NEXT:
      return bootmap::bootmap_copy_after(id.name.data(), 1);
    case CopySelector::ACTIVE:
      return bootmap::bootmap_active_copy(id.name.data());
  }
  return nullptr;
}

}  // namespace vorn::storage
