#include "ssm_monitor/channel_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "core/exit_status.h"
#include "core/report_line.h"
#include "core/ssm_receiver.h"

namespace {

// A line longer than this is not a channel.
const std::size_t line_most = 1024;

bool name_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == ':' || c == '-';
}

bool good_name(const char* name) {
  std::size_t size = std::strlen(name);
  if (size == 0 || size > channel_name_most) {
    return false;
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (!name_character(name[i])) {
      return false;
    }
  }
  return true;
}

// Copies text into a field of the entry; false when it does not fit.
bool copy_field(char* field, std::size_t room, const char* text) {
  std::size_t size = std::strlen(text);
  if (size >= room) {
    return false;
  }
  std::memcpy(field, text, size + 1);
  return true;
}

// Fills the entry from its three operand texts and its name, checked.
// Returns 0, or exit_usage with what is wrong in problem.
int fill_entry(channel_entry* entry, const char* group, const char* source, const char* port,
               const char* name, char* problem, std::size_t room) {
  ssm_channel channel;
  if (read_channel_operands(group, source, port, &channel, problem, room) != 0) {
    return exit_usage;
  }
  // Checked above: an address, its interface and a port fit.
  if (!copy_field(entry->group_text, sizeof entry->group_text, group) ||
      !copy_field(entry->source_text, sizeof entry->source_text, source) ||
      !copy_field(entry->port_text, sizeof entry->port_text, port)) {
    (void)std::snprintf(problem, room, "group '%.40s...': too long", group);
    return exit_usage;
  }
  if (name != nullptr && !good_name(name)) {
    (void)std::snprintf(problem, room, "name '%.70s': 1 to %zu of A-Z a-z 0-9 . _ : -", name,
                        channel_name_most);
    return exit_usage;
  }
  (void)copy_field(entry->name, sizeof entry->name, name != nullptr ? name : "");
  return 0;
}

// Where an earlier entry stands, for a message: "line 3", "the command line".
void place_of(const channel_entry& entry, char* out, std::size_t room) {
  if (entry.line > 0) {
    (void)std::snprintf(out, room, "line %d", entry.line);
  } else {
    (void)std::snprintf(out, room, "the command line's");
  }
}

// Splits a line in place at blanks into at most `most` fields, a '#' ending
// it. Returns how many fields there are (more than most: most + 1).
int split_line(char* line, char** fields, int most) {
  char* comment = std::strchr(line, '#');
  if (comment != nullptr) {
    *comment = '\0';
  }
  int count = 0;
  char* at = line;
  for (;;) {
    while (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n') {
      ++at;
    }
    if (*at == '\0') {
      return count;
    }
    if (count == most) {
      return most + 1;
    }
    fields[count++] = at;
    while (*at != '\0' && *at != ' ' && *at != '\t' && *at != '\r' && *at != '\n') {
      ++at;
    }
    if (*at != '\0') {
      *at++ = '\0';
    }
  }
}

// Adds the entry unless its channel is there already. Returns 0, or
// exit_usage with the words after the entry's own place in problem.
int add_entry(std::vector<channel_entry>* list, std::set<std::string>* keys,
              const channel_entry& entry, char* problem, std::size_t room) {
  std::string key = channel_key(entry);
  if (!keys->insert(key).second) {
    auto earlier = std::find_if(list->begin(), list->end(),
                                [&key](const channel_entry& e) { return channel_key(e) == key; });
    char place[32] = "";
    if (earlier != list->end()) {
      place_of(*earlier, place, sizeof place);
    }
    (void)std::snprintf(problem, room, "the same channel as %s", place);
    return exit_usage;
  }
  list->push_back(entry);
  return 0;
}

std::set<std::string> keys_of(const std::vector<channel_entry>& list) {
  std::set<std::string> keys;
  for (const channel_entry& entry : list) {
    keys.insert(channel_key(entry));
  }
  return keys;
}

}  // namespace

std::string channel_key(const channel_entry& entry) {
  ssm_channel channel;
  char problem[operand_problem_room];
  if (read_channel_operands(entry.group_text, entry.source_text, entry.port_text, &channel,
                            problem, sizeof problem) != 0) {
    return std::string();
  }
  char group[address_text_max];
  char source[address_text_max];
  group[format_address(group, channel.group)] = '\0';
  source[format_address(source, channel.source)] = '\0';
  const char* interface = std::strchr(entry.group_text, '%');
  return std::string(group) + (interface != nullptr ? interface : "") + " " + source + " " +
         std::to_string(channel.port);
}

int list_operand_channels(const std::vector<const char*>& operands,
                          std::vector<channel_entry>* list, char* problem, std::size_t room) {
  std::set<std::string> keys = keys_of(*list);
  for (std::size_t i = 0; i + 2 < operands.size(); i += 3) {
    channel_entry entry{};
    if (fill_entry(&entry, operands[i], operands[i + 1], operands[i + 2], nullptr, problem,
                   room) != 0) {
      return exit_usage;
    }
    char why[64];
    if (add_entry(list, &keys, entry, why, sizeof why) != 0) {
      (void)std::snprintf(problem, room, "channel %s %s %s: given twice", operands[i],
                          operands[i + 1], operands[i + 2]);
      return exit_usage;
    }
  }
  return 0;
}

// Reads one line of the file into the list. Returns 0, or exit_usage with
// what is wrong in what.
int take_line(char* line, int number, std::vector<channel_entry>* list,
              std::set<std::string>* keys, char* what, std::size_t room) {
  char* fields[4];
  int count = split_line(line, fields, 4);
  if (count == 0) {
    return 0;
  }
  if (count < 3 || count > 4) {
    char fields_text[24] = "more than 4 fields";
    if (count < 3) {
      (void)std::snprintf(fields_text, sizeof fields_text, "%d field%s", count,
                          count == 1 ? "" : "s");
    }
    (void)std::snprintf(what, room, "%s: a channel is <group>[%%interface] <source> <port> [name]",
                        fields_text);
    return exit_usage;
  }
  channel_entry entry{};
  entry.line = number;
  if (fill_entry(&entry, fields[0], fields[1], fields[2], count == 4 ? fields[3] : nullptr, what,
                 room) != 0) {
    return exit_usage;
  }
  return add_entry(list, keys, entry, what, room);
}

int list_file_channels(const char* path, std::vector<channel_entry>* list, char* problem,
                       std::size_t room) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    (void)std::snprintf(problem, room, "read %s: %s", path, std::strerror(errno));
    return exit_usage;
  }
  std::set<std::string> keys = keys_of(*list);
  char line[line_most + 2];
  int number = 0;
  int status = 0;
  char what[channel_problem_room];
  while (status == 0 && std::fgets(line, sizeof line, file) != nullptr) {
    ++number;
    std::size_t size = std::strlen(line);
    if (size > line_most && line[size - 1] != '\n') {
      (void)std::snprintf(what, sizeof what, "longer than %zu characters", line_most);
      status = exit_usage;
    } else {
      status = take_line(line, number, list, &keys, what, sizeof what);
    }
  }
  if (status == 0 && std::ferror(file) != 0) {
    (void)std::snprintf(problem, room, "read %s: %s", path, std::strerror(errno));
    status = exit_usage;
  } else if (status != 0) {
    (void)std::snprintf(problem, room, "%s:%d: %s", path, number, what);
  }
  (void)std::fclose(file);
  return status;
}
