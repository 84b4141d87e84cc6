#pragma once

// The device's settings as named properties. A property table, chosen by the hardware model
// at start-up, says for each property whether it can be read, written or run, and how: a
// getter, a setter, an action, or plain storage in the boot environment under its name.
//
// Name forms: "name" (the row of that name), "!name" (the row's action: query on get, run on
// set) and "@anything" (a user property outside the table, stored under the whole name).

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn::settings {

// Access flags of a row.
inline constexpr uint32_t PROP_READ = 1;
inline constexpr uint32_t PROP_WRITE = 2;
inline constexpr uint32_t PROP_ACTION = 4;

// Action modes and the answer to any other mode.
inline constexpr int ACTION_QUERY = 0;
inline constexpr int ACTION_RUN = 1;
inline constexpr int ACTION_BAD_MODE = -99;

// The answer buffer of a query ("!" get).
inline constexpr size_t ACTION_RESULT_SIZE = 2048;

// What an action receives: in query mode the buffer for its answer, in run mode the option
// text (the value given to setprop), or null.
struct ActionArgument {
  std::span<char> result;
  const char* option = nullptr;
};

// Getter: value text (in a buffer of the getter's own, valid until it runs again) or null.
using PropertyGetter = const char* (*)(const char* name);
// Setter: 0 or more on success, negative on failure; an absent value means deletion.
using PropertySetter = int (*)(const char* name, const char* value);
// Action: 0 or more on success, negative on failure, ACTION_BAD_MODE for an unknown mode.
using PropertyAction = int (*)(int mode, const char* name, ActionArgument argument);

struct PropertyDesc {
  const char* name;  // also the boot environment key of a stored value
  const char* description;
  uint32_t access;
  PropertyGetter getter;
  PropertySetter setter;
  PropertyAction action;
  const char* default_value;  // null: "setprop default" deletes the stored value
};

struct ModelDesc {
  const char* prefix;         // matched against the start of the hardware tag
  const PropertyDesc* table;  // first row; the table ends with a row without a name
};

// Results of property_set (the setters' and actions' own results pass through).
inline constexpr int PROP_SET_INVALID_NAME = -1;
inline constexpr int PROP_SET_NO_ROW = -2;
inline constexpr int PROP_SET_NOT_WRITABLE = -3;
inline constexpr int PROP_SET_NO_ACTION_FLAG = -4;
inline constexpr int PROP_SET_NO_ACTION = -5;

// Access text of a flag set ("r--", "-w-", "rw-", "--x", "rwx"); null for other values.
[[nodiscard]] const char* access_text(uint32_t access);

// Selects the property table of the hardware model named by the hardware tag.
// 0 when a table was selected, -1 otherwise (no table is then selected).
int property_table_select();

// Number of rows of the selected table, its first row stored in *table (when table is not
// null); -1, with nothing stored, when no table is selected.
[[nodiscard]] int property_count(const PropertyDesc** table);

// The row of exactly this name in the selected table, or null (also for an absent or empty
// name, or when no table is selected).
[[nodiscard]] const PropertyDesc* property_find(const char* name);

// Value of a property ("name", "!name" or "@name"), or null when it cannot be read. The text
// stays valid only until the next property or boot environment operation; copy what you keep.
[[nodiscard]] const char* property_get(const char* name);

// Sets, deletes (absent or empty value) or runs a property. Non-negative on success;
// PROP_SET_* for a bad name, a missing row, a missing right or action; otherwise the
// setter's, the action's or the boot environment's result.
[[nodiscard]] int property_set(const char* name, const char* value);

// Sets every row of the selected table to its default (deleting rows without one), printing
// one line per row: " [set] : <default>", " [del]", or " [fail]" for a row whose store failed.
// 0; -1 when no table is selected or any row's store failed (the other rows are still set).
[[nodiscard]] int property_set_defaults();

}  // namespace vorn::settings
