// What the library keeps per attached modem, and the model-specific NV fix-up applied before
// resets and mode changes.
#include <cstring>

#include "lib/core/messages.h"
#include "lib/discovery/modem_family.h"
#include "lib/identity/modem_identity.h"
#include "lib/modem/connect.h"
#include "lib/nv/nv_items.h"
#include "lib/nv/nv_names.h"
#include "lib/transport/comm_mode.h"

namespace kav {

namespace {

// 9X15 modems of the 7351 model lose their automatic power-on unless this item is set.
constexpr const char* kAutoPowerItem = "NV_AUTO_POWER_I";
constexpr const char* kAutoPowerModel = "7351";

}  // namespace

void clear_modem_caches() {
  clear_translated_nv_items();
}

void apply_auto_power_fix() {
  check_connection_mode();
  if (current_comm_mode() != ZqUmtsKavCommMode_DM) return;
  const ModemIdentity* identity = getModemId();
  if (identity == nullptr || identity->family != ZqUmtsKavModemFamily_9X15) return;
  if (std::strstr(identity->model, kAutoPowerModel) == nullptr) return;
  NvItemInfo item;
  if (!lookup_nv_item(kAutoPowerItem, identity->firmware_rev, &item)) return;
  const uint8_t on = 1;
  if (write_nv_item(item.name, &on, static_cast<uint16_t>(item.id), identity->firmware_rev) == 0) {
    show_msg("NV_AUTO_POWER_I set to 1.\n");
  }
}

}  // namespace kav
