// Resources on Windows: blocks compiled by windres into the module that carries the library
// (lib/platform/win32.cmake), found with FindResourceA and its companions.
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "lib/platform/error.h"
#include "lib/platform/resources.h"
#include "lib/platform/win32.h"

namespace kav::platform {

namespace {

using ResourceKey = std::pair<std::string, int>;

// Overrides set by tests: a value of none hides the resource.
struct Overrides {
  std::mutex mutex;
  std::map<ResourceKey, std::optional<std::string>> blocks;
};

Overrides& overrides() {
  static Overrides* o = new Overrides;
  return *o;
}

}  // namespace

std::optional<ResourceBlock> find_resource(const char* type, int id) {
  {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    const auto found = o.blocks.find({type, id});
    if (found != o.blocks.end()) {
      if (!found->second) {
        set_last_error(kErrorResourceTypeNotFound);
        return std::nullopt;
      }
      const std::string& bytes = *found->second;
      return ResourceBlock{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
    }
  }
  const HMODULE module = win32::this_module();
  HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(id), type);
  if (info == nullptr) {
    // ERROR_RESOURCE_TYPE_NOT_FOUND or ERROR_RESOURCE_NAME_NOT_FOUND, kept as they are.
    win32::capture_last_error();
    if (last_error() != kErrorResourceNameNotFound) set_last_error(kErrorResourceTypeNotFound);
    return std::nullopt;
  }
  HGLOBAL loaded = LoadResource(module, info);
  const DWORD size = SizeofResource(module, info);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) {
    win32::capture_last_error();
    return std::nullopt;
  }
  return ResourceBlock{static_cast<const unsigned char*>(data), size};
}

void override_resource(const char* type, int id, std::optional<std::string> bytes) {
  Overrides& o = overrides();
  std::lock_guard lock(o.mutex);
  o.blocks[{type, id}] = std::move(bytes);
}

void restore_resources() {
  Overrides& o = overrides();
  std::lock_guard lock(o.mutex);
  o.blocks.clear();
}

}  // namespace kav::platform
