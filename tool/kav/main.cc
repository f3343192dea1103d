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

const std::vector<Subcommand>& subcommands() {
  static const std::vector<Subcommand> table = {
      {"ports",
       "[--dm-only | --udev-rules]",
       "Lists the serial ports the library's scanner sees: COM number, device node, port type,\n"
       "reset method, device identifier and modem name, with the port map as kelnorset has it.\n"
       "DM ports are marked DM>. Status 1 when no DM port is present or the device tree\n"
       "(UMTS_KAV_ROOT) cannot be read.\n"
       "  --dm-only     DM ports only\n"
       "  --udev-rules  print udev rules that keep ModemManager off the known DM interfaces\n",
       {{"--dm-only", nullptr}, {"--udev-rules", nullptr}},
       0,
       0,
       false,
       run_ports},
      {"info",
       "",
       "Connects and shows the modem's identity (IMEI, MEID, factory id, model, hardware\n"
       "revision, firmware text and version, OpenZumi version), its mode and its port.\n",
       {},
       0,
       0,
       true,
       run_info},
      {"nv read",
       "ITEM [--index N]",
       "Reads an NV item. ITEM is a name of the NV item database, resolved for the modem's\n"
       "firmware, or a number. Trailing zero bytes of the value are not shown.\n"
       "  --index N  the element of an array item (default 0)\n",
       {{"--index", "N"}},
       1,
       1,
       true,
       run_nv_read},
      {"nv write",
       "ITEM (--text TEXT | --hex BYTES...) [--index N]",
       "Writes an NV item (at most 128 bytes; 127 for an array element) and reads it back.\n"
       "  --text TEXT   the text with its terminating zero\n"
       "  --hex BYTES   bytes in hex: 01 02, 0102 or 0x01,0x02\n"
       "  --index N     the element of an array item (default 0)\n",
       {{"--text", "TEXT"}, {"--hex", nullptr}, {"--index", "N"}},
       1,
       1,
       true,
       run_nv_write},
      {"nv backup",
       "FILE [--ids A-B] [--force]",
       "Saves every NV item the database knows for the modem's firmware to FILE, a text file\n"
       "with the modem's identity and firmware text at the top. FILE must not exist.\n"
       "  --ids A-B  also the ids A to B that the database does not name\n"
       "  --force    replace an existing FILE (keeping its owner and mode)\n",
       {{"--ids", "A-B"}, {"--force", nullptr}},
       1,
       1,
       true,
       run_nv_backup},
      {"nv restore",
       "FILE [--force]",
       "Writes back the items of a backup whose value differs on the modem and prints each\n"
       "change. A backup of another modem or firmware (IMEI, MEID, firmware text) is refused.\n"
       "  --force  restore it anyway\n",
       {{"--force", nullptr}},
       1,
       1,
       true,
       run_nv_restore},
      {"mode",
       "dm|dl",
       "Moves the modem into DM (diagnostic) or DL (download) mode, resetting it for the way\n"
       "back to DM.\n",
       {},
       1,
       1,
       true,
       run_mode},
      {"reset",
       "",
       "Resets the modem the way its port's reset method says and connects again.\n",
       {},
       0,
       0,
       true,
       run_reset},
      {"send",
       "HEX...",
       "Sends one DIAG request (padded with zeros to 133 bytes) through the generic DM command\n"
       "and prints the response in hex, however long (up to 64 KiB).\n",
       {},
       1,
       200,
       true,
       run_send},
      {"nvdb check",
       "FILE",
       "Checks an NV item database file completely (digest, version, counts against lines,\n"
       "entries, field lengths, map indexes, name order, ids given twice) and names every\n"
       "problem with its line. Status 1 when there is one.\n",
       {},
       1,
       1,
       false,
       run_nvdb_check},
      {"nvdb sign",
       "FILE",
       "Puts the right digest on line 1 of an NV item database file after a hand edit. The file\n"
       "is written whole, keeping its owner and mode; a file with other problems is refused.\n",
       {},
       1,
       1,
       false,
       run_nvdb_sign},
      {"nvdb list",
       "FILE [--firmware TEXT]",
       "Lists the items (name, id, array size) of each firmware entry of a database file.\n"
       "  --firmware TEXT  only this firmware entry\n",
       {{"--firmware", "TEXT"}},
       1,
       1,
       false,
       run_nvdb_list},
  };
  return table;
}

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

// The subcommand named by the first one or two words; `*used` tells how many.
const Subcommand* find_subcommand(const std::vector<std::string>& words, size_t* used) {
  for (const Subcommand& s : subcommands()) {
    const std::string name = s.name;
    const size_t blank = name.find(' ');
    if (blank == std::string::npos && !words.empty() && words[0] == name) {
      *used = 1;
      return &s;
    }
    if (blank != std::string::npos && words.size() >= 2 && words[0] + " " + words[1] == name) {
      *used = 2;
      return &s;
    }
  }
  return nullptr;
}

int run(const std::vector<std::string>& words) {
  if (words.empty() || words[0] == "--help" || words[0] == "-h") {
    print_overview(words.empty() ? stderr : stdout);
    return words.empty() ? kExitUsage : kExitOk;
  }
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
