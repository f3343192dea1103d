// Resources compiled into the program, standing in for FindResource, LoadResource,
// LockResource and SizeOfResource: blocks of bytes found by a type name and an integer id.
// The blocks are generated at build time from files of the repository listed in
// lib/CMakeLists.txt (lib/platform/embed_resources.cmake writes the table).
//
// Threading: any thread may look resources up; the test overrides take a mutex.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kav::platform {

// One resource: its bytes live as long as the program (or, for an override, until the next
// override_resource or restore_resources call).
struct ResourceBlock {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// The resource of `type` and `id`; none, with the last error set to kErrorResourceTypeNotFound
// or kErrorResourceNameNotFound (lib/platform/error.h), when the program carries none.
std::optional<ResourceBlock> find_resource(const char* type, int id);

// Tests: makes find_resource see `bytes` for `type` and `id` instead of the compiled-in block,
// or nothing at all when `bytes` is none, until restore_resources().
void override_resource(const char* type, int id, std::optional<std::string> bytes);
void restore_resources();

namespace detail {

// The table of compiled-in resources, written by the build.
struct CompiledResource {
  const char* type;
  int id;
  const unsigned char* data;
  size_t size;
};
extern const CompiledResource kCompiledResources[];
extern const size_t kCompiledResourceCount;

}  // namespace detail

}  // namespace kav::platform
