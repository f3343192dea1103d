#include "tool/kav/subcommands.h"

#include "tool/kav/commands.h"

namespace kav::tool {

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

std::string check_modem_command(const std::vector<std::string>& words) {
  size_t used = 0;
  const Subcommand* s = find_subcommand(words, &used);
  if (s == nullptr) return words.empty() ? "no command" : "unknown command \"" + words[0] + "\"";
  if (!s->modem) return std::string("\"") + s->name + "\" does not talk to a modem";
  for (const std::string& word : words) {
    if (word == "--port" || word == "--json" || word == "--help")
      return word + " is not for a recipe";
  }
  Invocation inv;
  inv.name = s->name;
  const std::string error = parse_invocation(
      std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(used), words.end()),
      s->options, &inv);
  if (!error.empty()) return error;
  if (inv.args.size() < s->min_args || inv.args.size() > s->max_args ||
      (std::string(s->name) == "nv write" &&
       (inv.value("--text") != nullptr) == inv.has("--hex"))) {
    return std::string("usage: ") + s->name + " " + s->synopsis;
  }
  return {};
}

}  // namespace kav::tool
