#include "lib/platform/resources.h"

#include <cstring>
#include <map>
#include <mutex>
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
  bool type_seen = false;
  for (size_t i = 0; i < detail::kCompiledResourceCount; ++i) {
    const detail::CompiledResource& r = detail::kCompiledResources[i];
    if (std::strcmp(r.type, type) != 0) continue;
    type_seen = true;
    if (r.id == id) return ResourceBlock{r.data, r.size};
  }
  set_last_error(type_seen ? kErrorResourceNameNotFound : kErrorResourceTypeNotFound);
  return std::nullopt;
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
