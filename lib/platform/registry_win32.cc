// The registry on Windows: the user hive is the real HKEY_CURRENT_USER, read and written with
// the registry calls; the machine hive (lib/platform/machine_hive_win32.cc) the real
// HKEY_LOCAL_MACHINE, read only.
#include <atomic>
#include <cerrno>

#include "lib/platform/registry.h"
#include "lib/platform/win32.h"
#include "lib/platform/win32_registry.h"

namespace kav::platform {

namespace win32 {

int open_registry_key(HKEY root, const std::string& path, bool create, bool writable, HKEY* key) {
  LONG status;
  if (create) {
    status = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_READ | KEY_WRITE, nullptr, key, nullptr);
  } else {
    status = RegOpenKeyExA(root, path.c_str(), 0, writable ? KEY_READ | KEY_WRITE : KEY_READ, key);
  }
  return error_of(static_cast<DWORD>(status));
}

int query_registry_value(HKEY root, const std::string& path, const std::string& name,
                         RegValue* out) {
  HKEY key = nullptr;
  if (const int error = open_registry_key(root, path, false, false, &key)) return error;
  DWORD type = 0;
  DWORD size = 0;
  LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
  std::vector<uint8_t> data;
  // The value may grow between the two calls: ask again with the new size.
  for (int attempt = 0; status == ERROR_SUCCESS && attempt < 4; ++attempt) {
    data.resize(size);
    status = RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &size);
    if (status != ERROR_MORE_DATA) break;
    status = ERROR_SUCCESS;
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return error_of(static_cast<DWORD>(status));
  data.resize(size);
  out->type = type;
  out->data = std::move(data);
  return 0;
}

}  // namespace win32

namespace {

class CurrentUserHive : public RegistryHive {
 public:
  int open_key(const std::string& path, bool create) override {
    HKEY key = nullptr;
    const int error = win32::open_registry_key(HKEY_CURRENT_USER, path, create, false, &key);
    if (error == 0) RegCloseKey(key);
    return error;
  }

  int query_value(const std::string& path, const std::string& name, RegValue* out) override {
    return win32::query_registry_value(HKEY_CURRENT_USER, path, name, out);
  }

  int set_dword(const std::string& path, const std::string& name, uint32_t value) override {
    HKEY key = nullptr;
    if (const int error = win32::open_registry_key(HKEY_CURRENT_USER, path, true, true, &key)) {
      return error;
    }
    const DWORD data = value;
    const LONG status = RegSetValueExA(key, name.c_str(), 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&data), sizeof data);
    RegCloseKey(key);
    return win32::error_of(static_cast<DWORD>(status));
  }

  std::string location() const override { return "HKEY_CURRENT_USER"; }
};

std::atomic<RegistryHive*> g_user_override{nullptr};

}  // namespace

RegistryHive& user_hive() {
  if (RegistryHive* replacement = g_user_override.load()) return *replacement;
  static CurrentUserHive hive;
  return hive;
}

void set_user_hive(RegistryHive* hive) {
  g_user_override.store(hive);
}

// The user settings live in the registry itself, not in a file.
std::string user_hive_file() {
  return {};
}

}  // namespace kav::platform
