#include "ssm_check/check_options.h"

#include <cstdio>
#include <cstring>

#include "core/exit_status.h"
#include "core/operands.h"
#include "core/output.h"
#include "core/ssm_receiver.h"

namespace {

const char synopsis[] = "[-t seconds] [-c count] [-b] <group>[%interface] <source> <port>";

const char usage_text[] =
    "Usage: ssm_check [-t seconds] [-c count] [-b] <group>[%interface] <source> <port>\n"
    "       ssm_check -h\n"
    "Joins the source-specific multicast channel of <source> and <group> on UDP\n"
    "<port> as ssm_listen does, listens for -t seconds (default 5), until -c\n"
    "datagrams came from the source, or until stopped, then prints a report, one\n"
    "\"name: value\" a line: what came and how fast, the sequence numbers in\n"
    "bytes 0-3 (little-endian; -b: big-endian) that are missing, repeated or\n"
    "late, what this host dropped or blocks, and (as root, on Linux) how many\n"
    "datagrams of the channel reached the interface. The last line is the\n"
    "verdict. Exit status: 0 complete, 1 usage, 2 cannot run, 3 missing or\n"
    "dropped by this host, 4 nothing came from the source.\n";

// A message that cannot be written has nowhere else to go.
int option_error(const char* program, const char* what, const char* text, const char* problem) {
  (void)std::fprintf(stderr, "%s: %s '%s': %s\n", program, what, text, problem);
  return exit_usage;
}

int print_help(const char* program) {
  if (append_output(usage_text, sizeof usage_text - 1) != 0 || flush_output() != 0) {
    return output_failure(program);
  }
  return check_help_printed;
}

// Reads the value of -t or -c. Returns 0 or the exit status.
int read_value(const char* program, char letter, const char* text, check_options* options) {
  char expected[64];
  if (letter == 't') {
    if (parse_decimal_operand(text, 1, check_seconds_most, &options->seconds)) {
      return 0;
    }
    // Fits: the words and two numbers.
    (void)std::snprintf(expected, sizeof expected, "not a decimal number from 1 to %lld",
                        check_seconds_most);
    return option_error(program, "seconds", text, expected);
  }
  if (parse_decimal_operand(text, 1, check_count_most, &options->count)) {
    return 0;
  }
  (void)std::snprintf(expected, sizeof expected, "not a decimal number from 1 to %lld",
                      check_count_most);
  return option_error(program, "count", text, expected);
}

// Reads one argument of options ("-b", "-t5", "-bt", "5"); *next moves past
// a value taken from the argument after it. Returns 0, check_help_printed or
// the exit status.
int read_option(const char* program, int argc, char** argv, int* next, check_options* options) {
  const char* text = argv[*next];
  if (std::strcmp(text, "--help") == 0) {
    return print_help(program);
  }
  for (const char* p = text + 1; *p != '\0'; ++p) {
    char letter = *p;
    char name[3] = {'-', letter, '\0'};
    if (letter == 'h') {
      return print_help(program);
    }
    if (letter == 'b') {
      options->big_endian = true;
      continue;
    }
    if (letter != 't' && letter != 'c') {
      return option_error(program, "option", text[1] == '-' ? text : name,
                          "unknown (ssm_check -h lists the options)");
    }
    const char* value = p + 1;
    if (*value == '\0') {
      if (*next + 1 >= argc) {
        return option_error(program, "option", name, "needs a value");
      }
      value = argv[++*next];
    }
    return read_value(program, letter, value, options);
  }
  return 0;
}

}  // namespace

int parse_check_options(int argc, char** argv, const char* program, check_options* options) {
  *options = check_options{5, 0, false, nullptr, nullptr, nullptr};
  const char* operands[3] = {nullptr, nullptr, nullptr};
  int given = 0;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* text = argv[i];
    if (!options_end && std::strcmp(text, "--") == 0) {
      options_end = true;
      continue;
    }
    if (!options_end && text[0] == '-' && text[1] != '\0') {
      int status = read_option(program, argc, argv, &i, options);
      if (status != 0) {
        return status;
      }
      continue;
    }
    if (given < 3) {
      operands[given] = text;
    }
    ++given;
  }
  if (given != 3) {
    (void)std::fprintf(stderr, "%s: %d operand%s given, 3 needed: %s %s\n", program, given,
                       given == 1 ? "" : "s", program, synopsis);
    return exit_usage;
  }
  options->group_text = operands[0];
  options->source_text = operands[1];
  options->port_text = operands[2];
  return 0;
}
