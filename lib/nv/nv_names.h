// NV item names per firmware build: turns a name such as "NV_MEID_I" or the maker's
// "ZQ_NV_USB_ID_I" into the item's id and array size for the modem's firmware text through the
// NV item database, finds the item of an id, and lists the items a firmware build has. A maker's
// name that the firmware lists only as "NV_ZQ_..." is translated, and the translation is announced
// once per name until clear_translated_nv_items().
//
// Threading: the host thread only (the database and the set of announced names are not locked).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/nv/nv_db_format.h"

namespace kav {

struct NvItemInfo {
  const char* name = nullptr;  // the database's own text (the "NV_ZQ_" form after a translation)
  int32_t id = -1;
  int32_t array_size = 0;
};

// Loads the database on first use. True when `name` is defined for `firmware`; `info` then holds
// the stored name, id and array size. When the database cannot be loaded `info` is left as it
// was; otherwise a failed look-up leaves it at name none, id -1, array size 0.
bool lookup_nv_item(const char* name, const char* firmware, NvItemInfo* info);

// Every item defined for `firmware` in `db` (an id and an array size other than -1 under the
// entry's maps), in the database's name order; the names point into `db`. Empty when the
// firmware has no entry or an entry with a map index of -1.
std::vector<NvItemInfo> nv_items_of_firmware(const NvItemDatabase& db, std::string_view firmware);

// Loads the database on first use. True when an item with id `id` is defined for `firmware`
// (the first in name order when several names share it); `info` then holds it, as
// lookup_nv_item fills it. No translation is announced.
bool lookup_nv_item_by_id(int32_t id, const char* firmware, NvItemInfo* info);

// Forgets which translations were announced (clear_modem_caches).
void clear_translated_nv_items();

}  // namespace kav
