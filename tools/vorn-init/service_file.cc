#include "vorn-init/service_file.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace vorn::tools {

namespace {

using Words = std::vector<std::string_view>;

struct KnownId {
  std::string_view name;
  unsigned id;
};
// Android's fixed ids (android_filesystem_config.h) of the names a daemon's file would give.
constexpr KnownId ANDROID_IDS[] = {{"root", 0}, {"system", 1000}, {"shell", 2000}};

constexpr size_t ANY_COUNT = SIZE_MAX;

// The line's words; a word starting with '#' starts a comment to the end of the line.
Words split_words(std::string_view line) {
  Words words;
  size_t at = 0;
  while (true) {
    at = line.find_first_not_of(" \t\r", at);
    if (at == std::string_view::npos || line[at] == '#') break;
    const size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

bool set_classes(const Words& args, Service& service, std::string&) {
  service.classes.assign(args.begin(), args.end());
  return true;
}

bool set_user(const Words& args, Service& service, std::string& why) {
  unsigned id = 0;
  if (!android_id(args[0], &id)) {
    why = "unknown user '" + std::string(args[0]) + "'";
    return false;
  }
  service.uid = id;
  return true;
}

bool set_groups(const Words& args, Service& service, std::string& why) {
  std::vector<gid_t> ids;
  for (std::string_view name : args) {
    unsigned id = 0;
    if (!android_id(name, &id)) {
      why = "unknown group '" + std::string(name) + "'";
      return false;
    }
    ids.push_back(id);
  }
  service.gid = ids.front();
  service.supplementary_groups.assign(ids.begin() + 1, ids.end());
  return true;
}

bool octal_mode(std::string_view text, mode_t* mode) {
  if (text.empty() || text.size() > 4) return false;
  mode_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return false;
    value = value * 8 + static_cast<mode_t>(c - '0');
  }
  if (value > 0777) return false;
  *mode = value;
  return true;
}

// socket <name> <type> <perm> [<user> [<group> [<seclabel>]]]; the label is the device
// policy's business and is not looked at.
bool set_socket(const Words& args, Service& service, std::string& why) {
  ServiceSocket& socket = service.socket;
  socket.name = args[0];
  if (args[1] == "stream") {
    socket.type = SOCK_STREAM;
  } else if (args[1] == "dgram") {
    socket.type = SOCK_DGRAM;
  } else if (args[1] == "seqpacket") {
    socket.type = SOCK_SEQPACKET;
  } else {
    why = "socket type '" + std::string(args[1]) + "' is not stream, dgram or seqpacket";
    return false;
  }
  if (!octal_mode(args[2], &socket.mode)) {
    why = "socket mode '" + std::string(args[2]) + "' is not octal from 0 to 0777";
    return false;
  }
  unsigned id = 0;
  if (args.size() > 3) {
    if (!android_id(args[3], &id)) {
      why = "unknown user '" + std::string(args[3]) + "'";
      return false;
    }
    socket.uid = id;
  }
  if (args.size() > 4) {
    if (!android_id(args[4], &id)) {
      why = "unknown group '" + std::string(args[4]) + "'";
      return false;
    }
    socket.gid = id;
  }
  return true;
}

struct OptionRow {
  std::string_view name;
  size_t min_args;
  size_t max_args;
  bool (*apply)(const Words& args, Service& service, std::string& why);
};

constexpr OptionRow OPTIONS[] = {
    {.name = "class", .min_args = 1, .max_args = ANY_COUNT, .apply = set_classes},
    {.name = "user", .min_args = 1, .max_args = 1, .apply = set_user},
    {.name = "group", .min_args = 1, .max_args = ANY_COUNT, .apply = set_groups},
    {.name = "socket", .min_args = 3, .max_args = 6, .apply = set_socket},
};

std::string count_wanted(std::string_view name, size_t min, size_t max, size_t given) {
  std::string text = "'" + std::string(name) + "' wants ";
  if (max == ANY_COUNT) {
    text += "at least " + std::to_string(min);
  } else if (min == max) {
    text += std::to_string(min);
  } else {
    text += std::to_string(min) + " to " + std::to_string(max);
  }
  return text + (min == 1 ? " argument" : " arguments") + ", not " + std::to_string(given);
}

}  // namespace

bool android_id(std::string_view name, unsigned* id) {
  const auto* row = std::ranges::find(ANDROID_IDS, name, &KnownId::name);
  if (row == std::end(ANDROID_IDS)) return false;
  *id = row->id;
  return true;
}

bool parse_service_file(std::string_view text, Service* service, std::string* error) {
  Service parsed;
  int line_number = 0;
  int service_line = 0;
  bool seen[std::size(OPTIONS)] = {};
  const auto fail = [&](int line, const std::string& what) {
    *error = line > 0 ? std::to_string(line) + ": " + what : what;
    return false;
  };
  while (!text.empty()) {
    ++line_number;
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const Words words = split_words(line);
    if (words.empty()) continue;
    if (line.find('"') != std::string_view::npos || line.ends_with('\\')) {
      return fail(line_number, "quotes and continued lines are not read by vorn-init");
    }
    const Words args(words.begin() + 1, words.end());
    if (words[0] == "service") {
      if (service_line != 0) return fail(line_number, "a second service (vorn-init starts one)");
      if (args.size() < 2)
        return fail(line_number, count_wanted("service", 2, ANY_COUNT, args.size()));
      service_line = line_number;
      parsed.name = args[0];
      parsed.argv.assign(args.begin() + 1, args.end());
      continue;
    }
    const auto* row = std::ranges::find(OPTIONS, words[0], &OptionRow::name);
    if (row == std::end(OPTIONS)) {
      return fail(line_number, "unknown option '" + std::string(words[0]) + "'");
    }
    if (service_line == 0) {
      return fail(line_number, "'" + std::string(words[0]) + "' outside a service");
    }
    bool& given = seen[row - std::begin(OPTIONS)];
    if (given) return fail(line_number, "'" + std::string(row->name) + "' given twice");
    given = true;
    if (args.size() < row->min_args || args.size() > row->max_args) {
      return fail(line_number, count_wanted(row->name, row->min_args, row->max_args, args.size()));
    }
    std::string why;
    if (!row->apply(args, parsed, why)) return fail(line_number, why);
  }
  if (service_line == 0) return fail(0, "no service in the file");
  if (parsed.socket.name.empty()) {
    return fail(service_line, "service " + parsed.name + " has no socket");
  }
  *service = std::move(parsed);
  return true;
}

}  // namespace vorn::tools
