// The resources that tests put in place of the compiled-in ones (override_resource), shared by
// both sides of find_resource.
//
// Threading: any thread; one lock guards the overrides.
#pragma once

#include <optional>

#include "lib/platform/resources.h"

namespace kav::platform::detail {

// True when a test has overridden resource (`type`, `id`): `*block` is then its bytes, or none
// when the override hides it (the last error is set to kErrorResourceTypeNotFound then).
bool overridden_resource(const char* type, int id, std::optional<ResourceBlock>* block);

}  // namespace kav::platform::detail
