#include "ssm_check/check_options.h"

#include <cstdio>
#include <cstring>

#include "core/exit_status.h"
#include "core/operands.h"
#include "core/options.h"
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

// What the walk of the command line fills in.
struct check_walk {
  const char* program;
  check_options* options;
  const char* operands[3];
  int given;
};

int take_option(void* context, char letter, const char* value) {
  check_walk* walk = static_cast<check_walk*>(context);
  if (letter == 'h') {
    return print_help(walk->program);
  }
  if (letter == 'b') {
    walk->options->big_endian = true;
    return 0;
  }
  return read_value(walk->program, letter, value, walk->options);
}

int take_operand(void* context, const char* text) {
  check_walk* walk = static_cast<check_walk*>(context);
  if (walk->given < 3) {
    walk->operands[walk->given] = text;
  }
  ++walk->given;
  return 0;
}

}  // namespace

int parse_check_options(int argc, char** argv, const char* program, check_options* options) {
  *options = check_options{5, 0, false, nullptr, nullptr, nullptr};
  check_walk walk{program, options, {nullptr, nullptr, nullptr}, 0};
  const option_letters letters{"bh", "tc"};
  int status = walk_command_line(argc, argv, program, &letters, take_option, take_operand, &walk);
  if (status != 0) {
    return status;
  }
  if (walk.given != 3) {
    (void)std::fprintf(stderr, "%s: %d operand%s given, 3 needed: %s %s\n", program, walk.given,
                       walk.given == 1 ? "" : "s", program, synopsis);
    return exit_usage;
  }
  options->group_text = walk.operands[0];
  options->source_text = walk.operands[1];
  options->port_text = walk.operands[2];
  return 0;
}
