#include "lib/platform/resource_overrides.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "lib/platform/error.h"

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

namespace detail {

bool overridden_resource(const char* type, int id, std::optional<ResourceBlock>* block) {
  Overrides& o = overrides();
  std::lock_guard lock(o.mutex);
  const auto found = o.blocks.find({type, id});
  if (found == o.blocks.end()) return false;
  if (!found->second) {
    set_last_error(kErrorResourceTypeNotFound);
    *block = std::nullopt;
    return true;
  }
  const std::string& bytes = *found->second;
  *block = ResourceBlock{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
  return true;
}

}  // namespace detail

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
