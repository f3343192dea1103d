// The configuration of one simulated modem: its USB identity and ports, what its DIAG task
// reports, how it re-enumerates, and the faults it is told to commit. Filled in code by tests
// or from a scenario file (key = value lines, see parse_scenario) by kav-modem-sim.
//
// Plain values; no threading rules of its own (a Modem copies its configuration at start).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kav::sim {

// How the DM port answers "AT$ZQDMAT=0".
enum class AtAnswer { Ok, Error, Silent };

// How the maker's status command is served.
enum class StatusSubsystem { Main /* 250 */, Alternate /* 50 */, None /* 13 for both */ };

// The layout of the answer to 4B FE AA 00.
enum class OpenZumiLayout { Long74, Short73, Echo8, BadCommand };

// What the downloader answers to the probe 06.
enum class Downloader { Boot /* 02 */, Streaming /* 0D */ };

// A fault the modem commits on the next `count` requests whose command code is `command`
// (-1: any request; for AT lines the fault never applies).
enum class FaultKind {
  NoAnswer,        // read the request, answer nothing
  Delay,           // answer after `delay_ms`
  StaleFirst,      // a late answer to an earlier request (an NV read of another item; for a
                   // subsystem request, another command of that subsystem) and an unrelated
                   // log packet before the answer
  StaleIndex,      // before an NV answer for an array element, one for another element of
                   // the same item (as if left over from an earlier read)
  Garbage,         // text bytes before the answer's frame
  BadFcs,          // the answer with a spoilt frame check sequence (and nothing else)
  Split,           // the answer written in two pieces, `delay_ms` apart
  EscapeAll,       // every answer byte escaped (0x7D, byte ^ 0x20): legal, if unusual
  BadLength,       // 15 and the request bytes instead of the answer
  SecurityLocked,  // 42 and the request bytes instead of the answer
  BadCommand,      // 13 and the request bytes instead of the answer
  Truncate,        // the answer cut to its first `length` bytes
  Unplug,          // leave the bus right after reading the request; back after `return_ms`
                   // (-1: stay away) under the same or the other tty indexes
};

struct FaultSpec {
  FaultKind kind = FaultKind::NoAnswer;
  int command = -1;
  int count = 1;  // -1: every matching request from now on
  int delay_ms = 0;
  int return_ms = -1;
  bool return_other_tty = false;
  int length = 0;  // Truncate: the bytes of the answer kept
};

// The texts and bytes of the 181-byte status record.
struct StatusFields {
  uint8_t layout_version = 6;
  uint8_t online_mode = 5;   // the operating mode while online
  uint8_t offline_mode = 2;  // the mode taken after the offline command
  std::string firmware = "1.2.3.04-ZQ U370 build 5";
  std::string model = "U370";
  std::string hw_rev = "REV 3";
  std::string second_model = "U370";
  std::string imei = "356938035643809";  // 15 digits, or empty for no identity bytes
  int unreported_answers = 0;            // the first N status answers carry mode 0xFF
  int record_length = 181;               // older firmware sends a shorter record (101..181)
};

struct ModemConfig {
  // USB identity in DM mode.
  uint16_t vid = 0x5C8E;
  uint16_t pid = 0xA7E2;
  uint16_t bcd = 0x0318;
  std::string busport = "1-2";
  int dm_interface = 1;
  int at_interface = 2;      // -1: no AT port
  int extra_interfaces = 1;  // interfaces without a port (counted in bNumInterfaces)
  bool dm_acm = false;       // the DM port is a CDC-ACM function (ttyACM) instead of ttyUSB
  int dm_tty = 0;            // ttyUSB index: COM dm_tty+1 (ttyACM: COM dm_tty+201)
  int at_tty = 1;
  // The indexes used after every second re-enumeration (the modem alternates between the two
  // pairs, so each return is under another COM number).
  int alt_dm_tty = 4;
  int alt_at_tty = 5;

  // Re-enumeration: how long the modem stays off the bus, and how long after its last answer
  // it leaves.
  int reenumerate_gap_ms = 1000;
  int leave_delay_ms = 50;
  // Leaving the bus: how long before the device entries vanish the open port hangs up (0: just
  // before); negative, the entries vanish first and the port hangs up that much later.
  int hangup_lead_ms = 0;

  // The emergency-download identity taken in DL mode when the modem re-enumerates into it;
  // vid 0 keeps the DM-mode identity. Its DM port is interface `dl_interface`.
  bool download_reenumerates = true;
  uint16_t dl_vid = 0;
  uint16_t dl_pid = 0;
  int dl_interface = 0;
  Downloader downloader = Downloader::Boot;
  bool start_in_dl = false;

  // CD-ROM start: the modem first shows only a mass-storage CD-ROM and becomes the modem when
  // the CD-ROM node is opened (the eject).
  bool cdrom_first = false;
  uint16_t cdrom_pid = 0x1000;
  int cdrom_index = 0;  // sr<k>

  // PCIe start: the modem is a PCIe modem (MHI), PCI function 0000:<pci_bus>:00.0, its DM port the
  // wwan QCDM port wwan<wwan>qcdm0 (COM 501 + 10 * wwan) with a pseudo-terminal behind the node; it
  // has no AT port and keeps its identity in DL mode.
  bool pcie = false;
  uint16_t pci_vendor = 0x17CB;
  uint16_t pci_device = 0x0306;
  int pci_bus = 1;
  int wwan = 0;

  AtAnswer zqdmat_answer = AtAnswer::Ok;
  StatusSubsystem status_subsystem = StatusSubsystem::Main;
  StatusFields status;
  int offline_delay_ms = 200;  // after 29 01 00, until the status record reads offline

  OpenZumiLayout openzumi_layout = OpenZumiLayout::Long74;
  int32_t openzumi_status = 0;
  std::string openzumi_text = "OZ-2.4.1";
  int openzumi_length = -1;  // the text length the answer states; -1: the text's own

  // NV store: the file (empty: <root>/kav-modem-sim-nv.txt), items that refuse writes,
  // items shorter than the 128 data bytes (a write keeps only the item's own bytes, the echo
  // still carries the request's), array items (stored per element, the element index in the
  // first data byte), and values present before any write (the file wins over them).
  std::string nv_file;
  std::set<uint16_t> read_only_items = {5597, 5598};
  std::map<uint16_t, size_t> item_sizes;
  // The array items of the library's default NV item database (NV_MIN1_I, NV_ACCOLC_I,
  // NV_DIAL_I), so that its array reads are answered element by element.
  std::set<uint16_t> array_items = {32, 37, 57};
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> nv_presets;
  // Items the modem answers with this nv_stat and zero data, reads and writes alike, without
  // touching the store (4 NV_FAIL_S, 6 bad parameter, 8 not defined for this target, ...).
  std::map<uint16_t, uint16_t> nv_status;

  std::vector<FaultSpec> faults;

  // Arrival and departure, in ms after the simulator starts: a modem with arrive_ms > 0 is
  // plugged in then; with stay_ms > 0 it leaves for good that long after its arrival.
  int arrive_ms = 0;
  int stay_ms = 0;

  // Gadget mode: the USB device controller (e.g. "dummy_udc.0") on which the modem is presented
  // through configfs to the machine's own USB drivers instead of in a device tree; the root
  // then only holds the NV store and the CD-ROM image.
  std::string udc;
};

// The COM number of ttyUSB<index>.
inline int com_number(int tty_index) {
  return tty_index + 1;
}

// The COM number of ttyACM<index>.
inline int acm_com_number(int tty_index) {
  return tty_index + 201;
}

// The COM number of wwan0qcdm0; wwan<n>qcdm0 is 10n above it.
constexpr int kFirstQcdmCom = 501;

// The settings of a scenario file. Lines are "key = value"; '#' and ';' start comments;
// "[modem]" starts the next modem (keys before the first section belong to the run).
struct Scenario {
  std::string root;
  std::string trace;  // "", "-" (stderr) or a file
  std::vector<ModemConfig> modems;
};

// Applies one key to `config`. Returns an empty text, or what is wrong.
std::string apply_modem_key(const std::string& key, const std::string& value, ModemConfig* config);

// Parses a whole scenario text into `scenario` (modems are appended). Returns an empty text,
// or the first error with its line number.
std::string parse_scenario(const std::string& text, Scenario* scenario);

// Parses a fault description "kind [command=0x26] [count=N] [delay=MS] [return=MS]
// [tty=same|other]". Returns an empty text, or what is wrong.
std::string parse_fault(const std::string& text, FaultSpec* fault);

// The text of the scenario format (for --help).
const char* scenario_help();

}  // namespace kav::sim
