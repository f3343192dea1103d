// The registry of the platform: two hives behind one small interface.
//
//  - The user hive (HKEY_CURRENT_USER) is a text file in the .reg format of the Windows registry
//    editor, at UMTS_KAV_REGISTRY or ${XDG_CONFIG_HOME:-$HOME/.config}/umts_kav_lib/user.reg.
//    Every write rewrites the file atomically (temporary file, then rename) under an advisory
//    lock and keeps every other key and value as it stood, values of unknown types included. A
//    file that cannot be parsed is reported (kErrorBadHiveFile) and never overwritten.
//  - The machine hive (HKEY_LOCAL_MACHINE) is read-only and synthesised from the device view:
//    SYSTEM\CurrentControlSet\Enum\<device instance>\Device Parameters holds PORTNAME ("COM<n>")
//    for every serial device interface.
//
// Key paths are backslash separated, without the hive name, and compared without letter case,
// as are value names. Tests replace either hive with a fake through set_user_hive() and
// set_machine_hive().
//
// Threading: the hives may be used from any thread; each call is atomic with respect to others
// in this process, and the user hive's file lock covers other processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kav::platform {

enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

// A value as the registry returns it: its type and its bytes. A REG_SZ value's bytes include
// its terminating zero, as on Windows; a REG_DWORD value is four little-endian bytes.
struct RegValue {
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
};

class RegistryHive {
 public:
  virtual ~RegistryHive() = default;

  // Opens the key at `path`; with `create`, creates it (and its parents) when missing.
  // Returns 0, ENOENT when the key is missing and not created, or another error code.
  virtual int open_key(const std::string& path, bool create) = 0;

  // Reads value `name` of the key at `path`. Returns 0, ENOENT when the key or the value is
  // missing, or another error code.
  virtual int query_value(const std::string& path, const std::string& name, RegValue* out) = 0;

  // Stores REG_DWORD `value` under `name` in the key at `path`, creating the key when missing.
  // Returns 0 or an error code (EACCES for a read-only hive).
  virtual int set_dword(const std::string& path, const std::string& name, uint32_t value) = 0;

  // Where the hive lives and, after a call failed, what is wrong with it, naming the file
  // concerned (for messages). Empty for hives without a file.
  virtual std::string location() const { return {}; }
  virtual std::string problem() const { return {}; }
};

// The process's hives. The defaults are created on first use.
RegistryHive& user_hive();
RegistryHive& machine_hive();

// Replace a hive (tests); nullptr restores the default. The caller keeps ownership and keeps
// the replacement alive until it is replaced again.
void set_user_hive(RegistryHive* hive);
void set_machine_hive(RegistryHive* hive);

// The file of the default user hive, from the environment.
std::string user_hive_file();

}  // namespace kav::platform
