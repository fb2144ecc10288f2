// The command line of the programs that take options (ssm_check,
// ssm_monitor): letters after one '-', clustered ("-bj") or one at a time, a
// value attached ("-t5") or in the next argument ("-t 5"), "--" ending the
// options, "--help" as -h, and operands before, between or after them.
#ifndef CORE_OPTIONS_H
#define CORE_OPTIONS_H

// Takes one option: its letter, and its value (nullptr for a flag). Returns
// 0 to go on, or a status that ends the walk.
typedef int (*option_taker)(void* context, char letter, const char* value);

// Takes one operand. Returns 0 to go on, or a status that ends the walk.
typedef int (*operand_taker)(void* context, const char* text);

// The letters a program knows.
struct option_letters {
  const char* flags;   // letters that stand alone, 'h' among them
  const char* valued;  // letters that take a value
};

// Walks argv[1..argc-1], handing each option and operand over in order.
// Returns 0, the first non-zero status a taker returned, or exit_usage after
// one line on standard error for an unknown letter ("option '-x': unknown
// (<program> -h lists the options)") or a value missing at the end.
int walk_command_line(int argc, char** argv, const char* program, const option_letters* letters,
                      option_taker take_option, operand_taker take_operand, void* context);

// Prints `<program>: <what> '<text>': <problem>` on standard error and
// returns exit_usage: the one wording of a bad option value.
int option_error(const char* program, const char* what, const char* text, const char* problem);

#endif  // CORE_OPTIONS_H
