// What the library keeps per attached modem, and the model-specific NV fix-up applied before
// resets and mode changes. The fix-up needs the modem identity report, which is not merged
// yet: until then it is not applied.
#include "lib/modem/connect.h"
#include "lib/nv/nv_names.h"

namespace kav {

void clear_modem_caches() {
  clear_translated_nv_items();
}

void apply_auto_power_fix() {}

}  // namespace kav
