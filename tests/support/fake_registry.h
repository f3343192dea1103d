// An in-memory registry hive for tests: keys and values of any type, call counters, and opens
// that fail on demand. Key paths and value names compare without letter case, and a key exists
// when it or a key below it was created, as in the real hives.
//
// Threading: every member may be called from any thread (monitor threads query the hive while
// a test inspects it).
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "lib/platform/registry.h"

namespace kav::test {

class FakeRegistry : public platform::RegistryHive {
 public:
  // Contents.
  void add_key(const std::string& path);
  void set_value(const std::string& path, const std::string& name, platform::RegValue value);
  // REG_SZ `text` with its terminating zero.
  void set_string(const std::string& path, const std::string& name, const std::string& text);
  void set_dword_value(const std::string& path, const std::string& name, uint32_t value);
  void remove_value(const std::string& path, const std::string& name);
  bool has_key(const std::string& path) const;
  std::optional<platform::RegValue> value(const std::string& path, const std::string& name) const;

  // Failures: every open_key (and the key lookups of query_value and set_dword) returns `error`
  // until cleared with 0; or only the opens of one key.
  void fail_opens(int error);
  void fail_opens_of(const std::string& path, int error);

  // Call counters, by operation.
  int open_calls() const;
  int query_calls() const;
  int set_calls() const;

  // RegistryHive.
  int open_key(const std::string& path, bool create) override;
  int query_value(const std::string& path, const std::string& name,
                  platform::RegValue* out) override;
  int set_dword(const std::string& path, const std::string& name, uint32_t value) override;
  std::string location() const override { return "fake registry"; }

 private:
  static std::string fold(const std::string& path);       // key paths
  static std::string fold_name(const std::string& name);  // value names (may hold '\\')
  bool has_key_locked(const std::string& key) const;
  int open_error_locked(const std::string& key) const;

  mutable std::mutex mutex_;
  std::set<std::string> keys_;                                               // folded paths
  std::map<std::string, std::map<std::string, platform::RegValue>> values_;  // folded
  int fail_all_ = 0;
  std::map<std::string, int> fail_key_;
  int open_calls_ = 0;
  int query_calls_ = 0;
  int set_calls_ = 0;
};

// Installs a hive through a setter (platform::set_user_hive or set_machine_hive) for the
// lifetime of the object, then restores the default.
class ScopedHive {
 public:
  ScopedHive(void (*setter)(platform::RegistryHive*), platform::RegistryHive* hive)
      : setter_(setter) {
    setter_(hive);
  }
  ~ScopedHive() { setter_(nullptr); }
  ScopedHive(const ScopedHive&) = delete;
  ScopedHive& operator=(const ScopedHive&) = delete;

 private:
  void (*setter_)(platform::RegistryHive*);
};

}  // namespace kav::test
