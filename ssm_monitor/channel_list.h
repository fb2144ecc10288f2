// The channels ssm_monitor is asked to watch: from the command line (three
// operands each) and from a file, one a line:
//   <group>[%interface] <source> <port> [name]
// blanks between the fields, '#' to the end of a line a comment, blank
// lines skipped.
#ifndef SSM_MONITOR_CHANNEL_LIST_H
#define SSM_MONITOR_CHANNEL_LIST_H

#include <cstddef>
#include <string>
#include <vector>

// Room for the operands' texts: an IPv6 address, '%' and an interface.
const std::size_t channel_group_room = 128;
const std::size_t channel_source_room = 64;

// The longest name of a channel.
const std::size_t channel_name_most = 64;

// Room for the words of what is wrong with a channel, its place included.
const std::size_t channel_problem_room = 512;

// One channel as it was given.
struct channel_entry {
  char group_text[channel_group_room];  // as given, with its interface
  char source_text[channel_source_room];
  char port_text[8];
  char name[channel_name_most + 1];     // "" when unnamed
  int line;                             // its line in the file; 0: the command line
};

// Reads the channels of the command line, three operands each, into *list.
// Returns 0, or exit_usage with what is wrong in problem.
int list_operand_channels(const std::vector<const char*>& operands,
                          std::vector<channel_entry>* list, char* problem, std::size_t room);

// Adds the channels of the file to *list (after those there: the same
// channel twice is an error). Returns 0, or exit_usage with
// "<file>:<line>: <what>" (or "read <file>: <reason>") in problem.
int list_file_channels(const char* path, std::vector<channel_entry>* list, char* problem,
                       std::size_t room);

// What makes two entries one channel: the group and source as what they
// mean, the interface as given, and the port.
std::string channel_key(const channel_entry& entry);

#endif  // SSM_MONITOR_CHANNEL_LIST_H
