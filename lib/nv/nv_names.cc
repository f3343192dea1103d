#include "lib/nv/nv_names.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "lib/core/messages.h"
#include "lib/nv/nv_database.h"

namespace kav {

namespace {

constexpr std::string_view kMakerPrefix = "ZQ_NV_";
constexpr std::string_view kTranslatedPrefix = "NV_ZQ_";

// Names (as callers gave them) whose translation has been announced.
std::set<std::string>& translated_nv_items() {
  static std::set<std::string>* names = new std::set<std::string>;
  return *names;
}

// The name among the sorted item names, defined under both maps.
bool find_item(std::string_view name, int32_t id_map, int32_t size_map, NvItemInfo* info) {
  const NvItemDatabase& db = nv_item_database();
  const auto& names = db.item_names;
  // std::string compares bytes as unsigned values, as the file's order is defined.
  const auto found =
      std::lower_bound(names.begin(), names.end(), name,
                       [](const std::string& a, std::string_view b) { return a < b; });
  if (found == names.end() || *found != name) return false;
  const size_t i = static_cast<size_t>(found - names.begin());
  const int32_t id = db.id_maps[static_cast<size_t>(id_map)][i];
  const int32_t size = db.array_size_maps[static_cast<size_t>(size_map)][i];
  if (id == -1 || size == -1) return false;
  *info = NvItemInfo{found->c_str(), id, size};
  return true;
}

}  // namespace

bool lookup_nv_item(const char* name, const char* firmware, NvItemInfo* info) {
  if (!load_db()) return false;
  *info = NvItemInfo{};
  const int32_t id_map = firmware_id_map(firmware);
  const int32_t size_map = firmware_array_size_map(firmware);
  if (id_map == -1 || size_map == -1 || !name) return false;
  if (find_item(name, id_map, size_map, info)) return true;
  // A maker's item that this firmware lists only under the "NV_ZQ_" form.
  const std::string_view given = name;
  if (!given.starts_with(kMakerPrefix)) return false;
  const std::string translated =
      std::string(kTranslatedPrefix) + std::string(given.substr(kMakerPrefix.size()));
  if (!find_item(translated, id_map, size_map, info)) return false;
  if (translated_nv_items().insert(name).second) {
    show_msg("WARNING: UMTS_KAV has translated NV item %s to %s for firmware %s.\n", name,
             info->name, firmware);
  }
  return true;
}

std::vector<NvItemInfo> nv_items_of_firmware(const NvItemDatabase& db, std::string_view firmware) {
  std::vector<NvItemInfo> items;
  const NvFirmwareEntry* entry = find_firmware_entry(db, firmware);
  if (entry == nullptr || entry->id_map < 0 || entry->array_size_map < 0 || db.item_names.empty()) {
    return items;  // a database without items keeps no map columns
  }
  const auto& ids = db.id_maps[static_cast<size_t>(entry->id_map)];
  const auto& sizes = db.array_size_maps[static_cast<size_t>(entry->array_size_map)];
  for (size_t i = 0; i < db.item_names.size(); ++i) {
    if (ids[i] == -1 || sizes[i] == -1) continue;
    items.push_back(NvItemInfo{db.item_names[i].c_str(), ids[i], sizes[i]});
  }
  return items;
}

bool lookup_nv_item_by_id(int32_t id, const char* firmware, NvItemInfo* info) {
  if (!load_db() || firmware == nullptr) return false;
  for (const NvItemInfo& item : nv_items_of_firmware(nv_item_database(), firmware)) {
    if (item.id != id) continue;
    *info = item;
    return true;
  }
  return false;
}

void clear_translated_nv_items() {
  translated_nv_items().clear();
}

}  // namespace kav
