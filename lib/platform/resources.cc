#include "lib/platform/resources.h"

#include <cstring>

#include "lib/platform/error.h"
#include "lib/platform/resource_overrides.h"

namespace kav::platform {

std::optional<ResourceBlock> find_resource(const char* type, int id) {
  std::optional<ResourceBlock> overridden;
  if (detail::overridden_resource(type, id, &overridden)) return overridden;
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

}  // namespace kav::platform
