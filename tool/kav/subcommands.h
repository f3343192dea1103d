// The subcommand table of kav: each subcommand's name, synopsis, help, options, argument
// counts, whether it talks to a modem, and the function that runs it; the look-up of a command
// line's subcommand, and the check of a command line that another command (a station recipe)
// will run later.
//
// Threading: the program's main thread only.
#pragma once

#include <string>
#include <vector>

#include "tool/kav/cli.h"

namespace kav::tool {

struct Subcommand {
  const char* name;
  const char* synopsis;  // the arguments after the name
  const char* help;      // what it does and its own options
  std::vector<OptionSpec> options;
  size_t min_args;
  size_t max_args;
  bool modem;  // takes --port
  int (*run)(Invocation&);
};

// Every subcommand, in the order of the overview.
const std::vector<Subcommand>& subcommands();

// The subcommand named by the first one or two words; `*used` tells how many.
const Subcommand* find_subcommand(const std::vector<std::string>& words, size_t* used);

// Checks `words` (a subcommand that talks to a modem, with its arguments and options, without
// --port and --json, which the caller adds) as the subcommand would parse them. Returns an
// empty text, or what is wrong.
std::string check_modem_command(const std::vector<std::string>& words);

}  // namespace kav::tool
