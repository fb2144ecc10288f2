#include "core/options.h"

#include <cstdio>
#include <cstring>

#include "core/exit_status.h"

int option_error(const char* program, const char* what, const char* text, const char* problem) {
  // A message that cannot be written has nowhere else to go.
  (void)std::fprintf(stderr, "%s: %s '%s': %s\n", program, what, text, problem);
  return exit_usage;
}

namespace {

// Takes the letters of one argument ("-b", "-t5", "-bt", then "5" from the
// argument after it: *next moves past it).
int take_letters(int argc, char** argv, int* next, const char* program,
                 const option_letters* letters, option_taker take_option, void* context) {
  const char* text = argv[*next];
  if (std::strcmp(text, "--help") == 0) {
    return take_option(context, 'h', nullptr);
  }
  for (const char* p = text + 1; *p != '\0'; ++p) {
    char letter = *p;
    char name[3] = {'-', letter, '\0'};
    if (std::strchr(letters->flags, letter) != nullptr) {
      int status = take_option(context, letter, nullptr);
      if (status != 0) {
        return status;
      }
      continue;
    }
    if (std::strchr(letters->valued, letter) == nullptr) {
      char problem[64];
      // Fits: a program's name is short.
      (void)std::snprintf(problem, sizeof problem, "unknown (%s -h lists the options)", program);
      return option_error(program, "option", text[1] == '-' ? text : name, problem);
    }
    const char* value = p + 1;
    if (*value == '\0') {
      if (*next + 1 >= argc) {
        return option_error(program, "option", name, "needs a value");
      }
      value = argv[++*next];
    }
    return take_option(context, letter, value);
  }
  return 0;
}

}  // namespace

int walk_command_line(int argc, char** argv, const char* program, const option_letters* letters,
                      option_taker take_option, operand_taker take_operand, void* context) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* text = argv[i];
    int status = 0;
    if (!options_end && std::strcmp(text, "--") == 0) {
      options_end = true;
    } else if (!options_end && text[0] == '-' && text[1] != '\0') {
      status = take_letters(argc, argv, &i, program, letters, take_option, context);
    } else {
      status = take_operand(context, text);
    }
    if (status != 0) {
      return status;
    }
  }
  return 0;
}
