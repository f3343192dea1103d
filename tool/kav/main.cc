// kav: the library's operations at the command line for people who service these modems. One
// command with subcommands (ports, info, nv, mode, reset, send, nvdb); results on standard
// output (text, or one JSON document with --json), the library's messages and kav's own
// complaints on standard error. Exit status 0 success, 1 the modem, port or a file failed,
// 2 usage error or bad input.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tool/kav/commands.h"
#include "tool/kav/session.h"
#include "tool/kav/subcommands.h"
#include "tool/stdout_check.h"

namespace kav::tool {
namespace {

constexpr char kCommonHelp[] =
    "\nCommon options:\n"
    "  --json    one JSON document on standard output instead of text\n"
    "  -q        only the result; of the library's messages only ERROR lines\n"
    "  --help    this text\n"
    "Exit status: 0 success, 1 the modem, the port or a file failed (or the check found\n"
    "problems), 2 usage error or bad input.\n";

constexpr char kPortHelp[] =
    "  --port P  use this port without asking the scanner: COMn, /dev/ttyUSBn, /dev/ttyACMn or\n"
    "            /dev/wwanNqcdmM\n";

void print_help(const Subcommand& s) {
  std::printf("Usage: kav %s %s%s[--json] [-q]\n\n%s", s.name, s.synopsis, *s.synopsis ? " " : "",
              s.help);
  if (s.modem) std::fputs(kPortHelp, stdout);
  std::fputs(kCommonHelp, stdout);
}

// The synopses of the subcommands whose name starts with `group` ("" for all).
void print_synopses(std::FILE* out, const std::string& group) {
  for (const Subcommand& s : subcommands()) {
    const std::string name = s.name;
    if (!group.empty() && name.compare(0, group.size() + 1, group + " ") != 0) continue;
    std::fprintf(out, "  kav %s%s%s\n", s.name, *s.synopsis ? " " : "", s.synopsis);
  }
}

void print_overview(std::FILE* out) {
  std::fputs("Usage: kav COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n", out);
  print_synopses(out, "");
  std::fputs(
      "  kav each [--parallel N] [--json] [-q] -- COMMAND...   COMMAND on every DM port\n"
      "  kav station RECIPE [--log FILE] [--parallel N] [--again] [-q]   a provisioning station\n",
      out);
  std::fprintf(
      out, "\nkav COMMAND --help tells more.\n\nOption of the commands that talk to a modem:\n%s%s",
      kPortHelp, kCommonHelp);
}

// True when `word` is the first word of two-word subcommands ("nv", "nvdb").
bool is_group(const std::string& word) {
  for (const Subcommand& s : subcommands()) {
    const std::string name = s.name;
    if (name.compare(0, word.size() + 1, word + " ") == 0) return true;
  }
  return false;
}

// A usage error found before a subcommand is known: with --json among `words`, the failure
// document of `name` (the command or group word).
void print_usage_document(const std::vector<std::string>& words, const std::string& name,
                          const std::string& text) {
  Invocation inv;
  inv.name = name;
  inv.json = std::find(words.begin(), words.end(), "--json") != words.end();
  print_failure_document(inv, text);
}

// `kav nv`, `kav nv --help` or `kav nv bogus`: the group's subcommands, on standard output
// when asked for, else as a usage error.
int group_usage(const std::vector<std::string>& words) {
  const bool asked = words.size() == 2 && (words[1] == "--help" || words[1] == "-h");
  std::FILE* out = asked ? stdout : stderr;
  if (!asked && words.size() > 1) {
    std::fprintf(out, "kav %s: unknown subcommand \"%s\"\n", words[0].c_str(), words[1].c_str());
    print_usage_document(words, words[0], "unknown subcommand \"" + words[1] + "\"");
  }
  std::fputs("Usage:\n", out);
  print_synopses(out, words[0]);
  return asked ? kExitOk : kExitUsage;
}

int run(const std::vector<std::string>& words) {
  if (words.empty() || words[0] == "--help" || words[0] == "-h") {
    print_overview(words.empty() ? stderr : stdout);
    return words.empty() ? kExitUsage : kExitOk;
  }
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  if (words[0] == "each") return run_each(rest);
  if (words[0] == "station") return run_station(rest);
  size_t used = 0;
  const Subcommand* s = find_subcommand(words, &used);
  if (s == nullptr && is_group(words[0])) return group_usage(words);
  if (s == nullptr) {
    std::fprintf(stderr, "kav: unknown command \"%s\"; kav --help lists them\n", words[0].c_str());
    print_usage_document(words, words[0], "unknown command \"" + words[0] + "\"");
    return kExitUsage;
  }
  Invocation inv;
  inv.name = s->name;
  std::vector<OptionSpec> options = s->options;
  if (s->modem) options.push_back(kPortOption);
  const std::string error =
      parse_invocation(std::vector<std::string>(words.begin() + used, words.end()), options, &inv);
  if (inv.has("--help")) {
    print_help(*s);
    return kExitOk;
  }
  if (!error.empty()) return usage_error(inv, "%s", error.c_str());
  if (inv.args.size() < s->min_args || inv.args.size() > s->max_args) {
    return usage_error(inv, "usage: kav %s %s", s->name, s->synopsis);
  }
  if (check_port_option(inv) != kExitOk) return kExitUsage;
  return s->run(inv);
}

}  // namespace
}  // namespace kav::tool

int main(int argc, char** argv) {
  // Registered before the library's detach, so it runs after the detach's last message.
  kav::tool::check_stdout_at_exit("kav", kav::tool::kExitFailed);
  return kav::tool::run(std::vector<std::string>(argv + 1, argv + argc));
}
