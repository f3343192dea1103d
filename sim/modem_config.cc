#include "sim/modem_config.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace kav::sim {

namespace {

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool to_long(const std::string& text, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 0);
  return end && *end == '\0';
}

bool to_bool(const std::string& text, bool* value) {
  if (text == "1" || text == "true" || text == "yes" || text == "on") return *value = true, true;
  if (text == "0" || text == "false" || text == "no" || text == "off") return *value = false, true;
  return false;
}

// "26 7e 7d" or "267e7d": hexadecimal bytes, blanks optional.
bool to_bytes(const std::string& text, std::vector<uint8_t>* bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

// A number in [min, max]; a value that does not fit its field is refused, never truncated.
bool to_long_in(const std::string& text, long min, long max, long* value) {
  return to_long(text, value) && *value >= min && *value <= max;
}

using Setter = std::function<bool(const std::string&, ModemConfig*)>;

// A key's setter and, for numbers, the range it accepts (named in the error message).
struct Key {
  // Not explicit: the table's lambdas become keys without a range.
  template <typename F>
  Key(F set) : set(std::move(set)) {}
  Key(Setter set, long min, long max) : set(std::move(set)), min(min), max(max), ranged(true) {}
  Setter set;
  long min = 0;
  long max = 0;
  bool ranged = false;
};

constexpr long kMaxMs = 3600 * 1000;
constexpr long kMaxTty = 199;  // ttyUSB0..ttyUSB199 are COM1..COM200
constexpr long kMaxInterface = 255;

template <typename T>
Key number(T ModemConfig::*field, long min, long max) {
  Setter set = [field, min, max](const std::string& v, ModemConfig* c) {
    long n;
    return to_long_in(v, min, max, &n) ? (c->*field = static_cast<T>(n), true) : false;
  };
  return Key(std::move(set), min, max);
}

template <typename T>
Key status_number(T StatusFields::*field, long min, long max) {
  Setter set = [field, min, max](const std::string& v, ModemConfig* c) {
    long n;
    return to_long_in(v, min, max, &n) ? (c->status.*field = static_cast<T>(n), true) : false;
  };
  return Key(std::move(set), min, max);
}

Setter status_text(std::string StatusFields::*field) {
  return [field](const std::string& v, ModemConfig* c) { return c->status.*field = v, true; };
}

Setter flag(bool ModemConfig::*field) {
  return [field](const std::string& v, ModemConfig* c) { return to_bool(v, &(c->*field)); };
}

template <typename E>
Setter choice(E ModemConfig::*field, std::map<std::string, E> names) {
  return [field, names](const std::string& v, ModemConfig* c) {
    auto it = names.find(v);
    return it == names.end() ? false : (c->*field = it->second, true);
  };
}

bool set_items(const std::string& v, std::set<uint16_t>* items) {
  items->clear();
  std::istringstream in(v);
  std::string token;
  while (std::getline(in, token, ',')) {
    long n;
    if (!to_long_in(trim(token), 0, 0xFFFF, &n)) return false;
    items->insert(static_cast<uint16_t>(n));
  }
  return true;
}

// "5078:4,550:16": item id and size in bytes (1 to 128).
bool set_sizes(const std::string& v, std::map<uint16_t, size_t>* sizes) {
  sizes->clear();
  std::istringstream in(v);
  std::string token;
  while (std::getline(in, token, ',')) {
    const size_t colon = token.find(':');
    long id;
    long size;
    if (colon == std::string::npos || !to_long_in(trim(token.substr(0, colon)), 0, 0xFFFF, &id) ||
        !to_long(trim(token.substr(colon + 1)), &size) || size < 1 || size > 128) {
      return false;
    }
    (*sizes)[static_cast<uint16_t>(id)] = static_cast<size_t>(size);
  }
  return true;
}

bool add_preset(const std::string& v, ModemConfig* c) {
  const size_t space = v.find_first_of(" \t");
  long id;
  std::vector<uint8_t> bytes;
  if (space == std::string::npos || !to_long_in(v.substr(0, space), 0, 0xFFFF, &id) ||
      !to_bytes(trim(v.substr(space)), &bytes) || bytes.size() > 128) {
    return false;
  }
  c->nv_presets.emplace_back(static_cast<uint16_t>(id), bytes);
  return true;
}

bool add_nv_status(const std::string& v, ModemConfig* c) {
  std::istringstream in(v);
  std::string id_text, stat_text, rest;
  long id, stat;
  if (!(in >> id_text >> stat_text) || (in >> rest) || !to_long(id_text, &id) ||
      !to_long(stat_text, &stat) || id < 0 || id > 0xFFFF || stat < 0 || stat > 0xFFFF) {
    return false;
  }
  c->nv_status[static_cast<uint16_t>(id)] = static_cast<uint16_t>(stat);
  return true;
}

const std::map<std::string, Key>& setters() {
  static const std::map<std::string, Key> table = {
      {"vid", number(&ModemConfig::vid, 0, 0xFFFF)},
      {"pid", number(&ModemConfig::pid, 0, 0xFFFF)},
      {"bcd", number(&ModemConfig::bcd, 0, 0xFFFF)},
      {"busport", [](const std::string& v, ModemConfig* c) { return c->busport = v, true; }},
      {"dm_interface", number(&ModemConfig::dm_interface, 0, kMaxInterface)},
      {"at_interface", number(&ModemConfig::at_interface, -1, kMaxInterface)},
      {"extra_interfaces", number(&ModemConfig::extra_interfaces, 0, 32)},
      {"dm_port", choice(&ModemConfig::dm_acm,
                         std::map<std::string, bool>{{"serial", false}, {"acm", true}})},
      {"udc", [](const std::string& v, ModemConfig* c) { return c->udc = v, true; }},
      {"arrive_ms", number(&ModemConfig::arrive_ms, 0, kMaxMs)},
      {"stay_ms", number(&ModemConfig::stay_ms, 0, kMaxMs)},
      {"dm_tty", number(&ModemConfig::dm_tty, 0, kMaxTty)},
      {"at_tty", number(&ModemConfig::at_tty, 0, kMaxTty)},
      {"alt_dm_tty", number(&ModemConfig::alt_dm_tty, 0, kMaxTty)},
      {"alt_at_tty", number(&ModemConfig::alt_at_tty, 0, kMaxTty)},
      {"reenumerate_gap_ms", number(&ModemConfig::reenumerate_gap_ms, 0, kMaxMs)},
      {"leave_delay_ms", number(&ModemConfig::leave_delay_ms, 0, kMaxMs)},
      {"hangup_lead_ms", number(&ModemConfig::hangup_lead_ms, -kMaxMs, kMaxMs)},
      {"download_reenumerates", flag(&ModemConfig::download_reenumerates)},
      {"dl_vid", number(&ModemConfig::dl_vid, 0, 0xFFFF)},
      {"dl_pid", number(&ModemConfig::dl_pid, 0, 0xFFFF)},
      {"dl_interface", number(&ModemConfig::dl_interface, 0, kMaxInterface)},
      {"downloader", choice(&ModemConfig::downloader, std::map<std::string, Downloader>{
                                                          {"boot", Downloader::Boot},
                                                          {"streaming", Downloader::Streaming}})},
      {"start_in_dl", flag(&ModemConfig::start_in_dl)},
      {"cdrom_first", flag(&ModemConfig::cdrom_first)},
      {"pcie", flag(&ModemConfig::pcie)},
      {"pci_vendor", number(&ModemConfig::pci_vendor, 0, 0xFFFF)},
      {"pci_device", number(&ModemConfig::pci_device, 0, 0xFFFF)},
      {"pci_bus", number(&ModemConfig::pci_bus, 1, 255)},
      {"wwan", number(&ModemConfig::wwan, 0, 49)},
      {"cdrom_pid", number(&ModemConfig::cdrom_pid, 0, 0xFFFF)},
      {"cdrom_index", number(&ModemConfig::cdrom_index, 0, 255)},
      {"zqdmat_answer",
       choice(&ModemConfig::zqdmat_answer,
              std::map<std::string, AtAnswer>{
                  {"ok", AtAnswer::Ok}, {"error", AtAnswer::Error}, {"none", AtAnswer::Silent}})},
      {"status_subsystem", choice(&ModemConfig::status_subsystem,
                                  std::map<std::string, StatusSubsystem>{
                                      {"250", StatusSubsystem::Main},
                                      {"50", StatusSubsystem::Alternate},
                                      {"none", StatusSubsystem::None}})},
      {"layout_version", status_number(&StatusFields::layout_version, 0, 255)},
      {"online_mode", status_number(&StatusFields::online_mode, 0, 255)},
      {"offline_mode", status_number(&StatusFields::offline_mode, 0, 255)},
      {"unreported_answers", status_number(&StatusFields::unreported_answers, 0, INT32_MAX)},
      {"record_length", status_number(&StatusFields::record_length, 0, 181)},
      {"firmware", status_text(&StatusFields::firmware)},
      {"model", status_text(&StatusFields::model)},
      {"hw_rev", status_text(&StatusFields::hw_rev)},
      {"second_model", status_text(&StatusFields::second_model)},
      {"imei",
       [](const std::string& v, ModemConfig* c) {
         // The record carries an IMEI as 15 digits (or none); anything else cannot be encoded.
         if (!v.empty() && (v.size() != 15 || v.find_first_not_of("0123456789") != v.npos)) {
           return false;
         }
         return c->status.imei = v, true;
       }},
      {"offline_delay_ms", number(&ModemConfig::offline_delay_ms, 0, kMaxMs)},
      {"openzumi_layout", choice(&ModemConfig::openzumi_layout,
                                 std::map<std::string, OpenZumiLayout>{
                                     {"74", OpenZumiLayout::Long74},
                                     {"73", OpenZumiLayout::Short73},
                                     {"8", OpenZumiLayout::Echo8},
                                     {"none", OpenZumiLayout::BadCommand}})},
      {"openzumi_status", number(&ModemConfig::openzumi_status, INT32_MIN, INT32_MAX)},
      {"openzumi_length", number(&ModemConfig::openzumi_length, -1, INT32_MAX)},
      {"openzumi_text", [](const std::string& v, ModemConfig* c) { return c->openzumi_text = v, true; }},
      {"nv_file", [](const std::string& v, ModemConfig* c) { return c->nv_file = v, true; }},
      {"read_only_items", [](const std::string& v, ModemConfig* c) { return set_items(v, &c->read_only_items); }},
      {"array_items", [](const std::string& v, ModemConfig* c) { return set_items(v, &c->array_items); }},
      {"item_sizes", [](const std::string& v, ModemConfig* c) { return set_sizes(v, &c->item_sizes); }},
      {"nv", add_preset},
      {"nv_status", add_nv_status},
      {"fault", [](const std::string& v, ModemConfig* c) {
         FaultSpec fault;
         if (!parse_fault(v, &fault).empty()) return false;
         c->faults.push_back(fault);
         return true;
       }},
  };
  return table;
}

const std::map<std::string, FaultKind>& fault_kinds() {
  static const std::map<std::string, FaultKind> kinds = {{"no_answer", FaultKind::NoAnswer},
                                                         {"delay", FaultKind::Delay},
                                                         {"stale_first", FaultKind::StaleFirst},
                                                         {"stale_index", FaultKind::StaleIndex},
                                                         {"garbage", FaultKind::Garbage},
                                                         {"bad_fcs", FaultKind::BadFcs},
                                                         {"split", FaultKind::Split},
                                                         {"escape_all", FaultKind::EscapeAll},
                                                         {"bad_length", FaultKind::BadLength},
                                                         {"locked", FaultKind::SecurityLocked},
                                                         {"bad_command", FaultKind::BadCommand},
                                                         {"unplug", FaultKind::Unplug},
                                                         {"truncate", FaultKind::Truncate}};
  return kinds;
}

bool apply_fault_option(const std::string& key, const std::string& value, FaultSpec* fault) {
  long n = 0;
  if (key == "tty") {
    if (value != "same" && value != "other") return false;
    fault->return_other_tty = value == "other";
    return true;
  }
  if (key == "command" && to_long_in(value, -1, 255, &n)) return fault->command = n, true;
  if (key == "count" && to_long_in(value, -1, INT32_MAX, &n)) return fault->count = n, true;
  if (key == "delay" && to_long_in(value, 0, kMaxMs, &n)) return fault->delay_ms = n, true;
  if (key == "return" && to_long_in(value, -1, kMaxMs, &n)) return fault->return_ms = n, true;
  if (key == "length" && to_long_in(value, 0, 4096, &n)) return fault->length = n, true;
  return false;
}

}  // namespace

std::string parse_fault(const std::string& text, FaultSpec* fault) {
  std::istringstream in(text);
  std::string word;
  if (!(in >> word)) return "empty fault";
  auto kind = fault_kinds().find(word);
  if (kind == fault_kinds().end()) return "unknown fault kind: " + word;
  *fault = FaultSpec{};
  fault->kind = kind->second;
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos ||
        !apply_fault_option(word.substr(0, eq), word.substr(eq + 1), fault)) {
      return "bad fault option: " + word;
    }
  }
  return {};
}

std::string apply_modem_key(const std::string& key, const std::string& value, ModemConfig* config) {
  auto it = setters().find(key);
  if (it == setters().end()) return "unknown key: " + key;
  const Key& entry = it->second;
  if (entry.set(value, config)) return {};
  std::string error = "bad value for " + key + ": " + value;
  if (entry.ranged) {
    error += " (" + std::to_string(entry.min) + " to " + std::to_string(entry.max) + ")";
  }
  return error;
}

std::string parse_scenario(const std::string& text, Scenario* scenario) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  bool in_modem = false;
  while (std::getline(in, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line == "[modem]") {
      scenario->modems.emplace_back();
      in_modem = true;
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return where + "expected key = value";
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    if (!in_modem && key == "root") {
      scenario->root = value;
    } else if (!in_modem && key == "trace") {
      scenario->trace = value;
    } else {
      if (!in_modem) return where + "modem key before [modem]: " + key;
      const std::string error = apply_modem_key(key, value, &scenario->modems.back());
      if (!error.empty()) return where + error;
    }
  }
  return {};
}

const char* scenario_help() {
  return R"(Scenario file: "key = value" lines; '#' or ';' starts a comment line.
  root = DIR            the device root (the --root option wins)
  trace = FILE | -      trace every frame received and sent (- : standard error)
  [modem]               starts a modem; the keys below it configure that modem
USB identity and ports:
  vid, pid, bcd (0x5C8E, 0xA7E2, 0x0318), busport (1-2), dm_interface (1),
  at_interface (2; -1 none), extra_interfaces (1), dm_port (serial: ttyUSB; acm:
  a CDC-ACM function, ttyACM, COM 201+k), dm_tty (0), at_tty (1),
  alt_dm_tty (4), alt_at_tty (5): the ttyUSB indexes used after every second
  re-enumeration, reenumerate_gap_ms (1000), leave_delay_ms (50),
  hangup_lead_ms (0: on leaving the bus the open port hangs up N ms before the
  device entries vanish; negative: the entries vanish first, the hang-up follows)
Over time: arrive_ms (0: at start), stay_ms (0: until the end): the modem arrives that long
  after the start and leaves for good stay_ms after its arrival
DL mode: download_reenumerates (true), dl_vid, dl_pid (0: keep the DM identity;
  e.g. 0x05C6 0x9008), dl_interface (0), downloader (boot|streaming), start_in_dl
CD-ROM start: cdrom_first (false), cdrom_pid (0x1000), cdrom_index (0)
PCIe modem: pcie (false: a USB modem), pci_vendor, pci_device (0x17CB, 0x0306),
  pci_bus (1: the function 0000:01:00.0), wwan (0): the DM port is wwan<N>qcdm0, COM 501+10N,
  a pseudo-terminal behind the node; no AT port, no download identity
Gadget mode: udc (none) names a USB device controller (e.g. dummy_udc.0): the modem is
  presented through configfs (libcomposite) to this machine's own drivers, its DM port a
  vendor-class serial function bound by `option` (its new_id is set) or, with dm_port = acm,
  a CDC-ACM function for `cdc-acm`; the CD-ROM start a removable mass-storage CD-ROM. The
  ports' numbers are the kernel's; the root holds only the NV store and the CD-ROM image.
AT: zqdmat_answer (ok|error|none)
Status record: status_subsystem (250|50|none), layout_version (6), online_mode (5),
  offline_mode (2), offline_delay_ms (200), unreported_answers (0), record_length (181),
  firmware,
  model, hw_rev, second_model, imei (15 digits or empty)
OpenZumi: openzumi_layout (74|73|8|none), openzumi_status (0), openzumi_text,
  openzumi_length (-1: the text's length)
NV: nv_file (<root>/kav-modem-sim-nv.txt), read_only_items (5597,5598),
  array_items (32,37,57), item_sizes (ID:BYTES,...: a write keeps only the item's own
  bytes), nv = ID HEXBYTES (a value present before any write),
  nv_status = ID STAT (the item is answered with that nv_stat; repeatable)
Faults (repeatable, applied in order):
  fault = KIND [command=0xNN] [count=N|-1] [delay=MS] [return=MS] [tty=same|other]
          [length=N]
  KIND: no_answer delay stale_first stale_index garbage bad_fcs split
        escape_all bad_length locked bad_command unplug truncate (to length bytes)
)";
}

}  // namespace kav::sim
