// Resources on Windows: blocks compiled by windres into the module that carries the library
// (lib/platform/win32.cmake), found with FindResourceA and its companions.
#include <cstring>

#include "lib/platform/error.h"
#include "lib/platform/resource_overrides.h"
#include "lib/platform/resources.h"
#include "lib/platform/win32.h"

namespace kav::platform {

std::optional<ResourceBlock> find_resource(const char* type, int id) {
  std::optional<ResourceBlock> overridden;
  if (detail::overridden_resource(type, id, &overridden)) return overridden;
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

}  // namespace kav::platform
