// ssm_check's command line: [-t seconds] [-c count] [-b] and the three
// operands of the receivers, options before, between or after them.
#ifndef SSM_CHECK_CHECK_OPTIONS_H
#define SSM_CHECK_CHECK_OPTIONS_H

// The longest -t, in seconds: a day.
const long long check_seconds_most = 86400;

// The most -c may ask for.
const long long check_count_most = 1000000000;

// What the command line asks for.
struct check_options {
  long long seconds;   // -t: how long to listen (default 5)
  long long count;     // -c: stop after this many datagrams from the source; 0: no limit
  bool big_endian;     // -b: the sequence number is big-endian
  const char* group_text;   // the operands, as given
  const char* source_text;
  const char* port_text;
};

// What parse_check_options() returns after the usage text asked for by -h.
const int check_help_printed = -1;

// Reads the command line into *options. Returns 0; check_help_printed after
// the usage text on standard output (-h, --help); or the exit status after
// one line on standard error (exit_usage), or when the text cannot be
// written (exit_failure).
int parse_check_options(int argc, char** argv, const char* program, check_options* options);

#endif  // SSM_CHECK_CHECK_OPTIONS_H
