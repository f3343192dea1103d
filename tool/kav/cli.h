// The command line of kav: the subcommand table's entry type, the parsed options of one run,
// the exit statuses, and how results, complaints and failures reach the user (results on
// standard output as text or as one JSON document, everything else on standard error).
//
// Threading: the program's main thread only.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tool/kav/json.h"

namespace kav::tool {

// kav's exit statuses.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,  // the modem, the port, the device tree or a file failed; a check found faults
  kExitUsage = 2,   // a bad command line or bad input (item name, hex, value, backup file)
};

// One option of a subcommand besides --json, -q and --help.
struct OptionSpec {
  const char* name;   // "--index"
  const char* value;  // what follows it ("N"), or none for a flag
};

// The parsed command line of one subcommand run.
struct Invocation {
  std::string name;               // "nv read"
  std::vector<std::string> args;  // the words that are no options
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> hex;  // the words after --hex
  bool json = false;
  bool quiet = false;
  // The result (or the failure document) is on standard output; set by whatever prints it.
  mutable bool output_written = false;

  bool has(const std::string& flag) const { return flags.count(flag) != 0; }
  // The value of an option, or none.
  const std::string* value(const std::string& option) const;
};

// Reads `words` (the words after the subcommand's name) into `inv`. "--hex" takes every word
// after it up to the next option. Returns an empty text, or what is wrong.
std::string parse_invocation(const std::vector<std::string>& words,
                             const std::vector<OptionSpec>& options, Invocation* inv);

// Runs once before a command's result or failure is printed: the modem session ends there, so
// that what the library says on closing comes before the result, not after kav's last line.
void set_before_result(void (*hook)());

// "kav <name>: <text>" on standard error.
[[gnu::format(printf, 2, 3)]] void complain(const Invocation& inv, const char* format, ...);

// complain(); with --json, also the failure document as failure() writes it. Returns
// kExitUsage.
[[gnu::format(printf, 2, 3)]] int usage_error(const Invocation& inv, const char* format, ...);

// complain(); with --json, also {"command":..,"ok":false,"error":..} on standard output unless
// a document was written already. Returns kExitFailed.
[[gnu::format(printf, 2, 3)]] int failure(Invocation& inv, const char* format, ...);

// With --json, the failure document {"command":..,"ok":false,"error":`text`} on standard output,
// unless a document is out already.
void print_failure_document(const Invocation& inv, const std::string& text);

// The result: `text` (with -q, `quiet_text`) or, with --json, the document. Marks the output
// written.
void print_result(Invocation& inv, const std::string& text, const std::string& quiet_text,
                  const JsonWriter& json);

// Opens the JSON document of a result: {"command":"<name>","ok":<ok>, ...
JsonWriter json_result(const Invocation& inv, bool ok);

// A decimal number in [low, high] from `text` (digits only, no sign).
bool parse_number(const std::string& text, long low, long high, long* number);

// A line to standard error when it is a terminal (progress), unless -q.
void progress(const Invocation& inv, const char* text);

}  // namespace kav::tool
