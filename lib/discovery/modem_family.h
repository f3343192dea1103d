// Modem families: the Qualcomm chipset a modem is built on, its name, and the look-up of a
// family from a model text (a port-map name or a model name of the maker's status record).
//
// The family table is constant. modem_family_of_name raises the time-out
// RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT to 180000 ms whenever it finds a 9X15 modem, for the rest
// of the process, because those modems take up to three minutes to come back after a reset.
//
// Threading: any thread may call these functions (the time-out store is atomic).
#pragma once

#include <cstdint>
#include <span>

enum ZqUmtsKavModemFamilyEnum : int32_t {
  ZqUmtsKavModemFamily_Unknown = 0,
  ZqUmtsKavModemFamily_6085 = 1,
  ZqUmtsKavModemFamily_6246 = 2,
  ZqUmtsKavModemFamily_6275 = 3,
  ZqUmtsKavModemFamily_6280 = 4,
  ZqUmtsKavModemFamily_6290 = 5,
  ZqUmtsKavModemFamily_7200 = 6,
  ZqUmtsKavModemFamily_7225 = 7,
  ZqUmtsKavModemFamily_7227 = 8,
  ZqUmtsKavModemFamily_7627 = 9,
  ZqUmtsKavModemFamily_8200 = 10,
  ZqUmtsKavModemFamily_8220 = 11,
  ZqUmtsKavModemFamily_9200 = 12,
  ZqUmtsKavModemFamily_9600 = 13,
  ZqUmtsKavModemFamily_9X15 = 14,
  ZqUmtsKavModemFamily_1110 = 15,
  ZqUmtsKavModemFamily_6270 = 16,
};

namespace kav {

// One row of the model family table: a model text and the family it belongs to.
struct ModelFamilyRow {
  const char* model;
  int32_t family;
};

// The rows, in search order: grouped by family, each chipset number opening its group. No
// row's text occurs inside a later row's text of another family, so no row hides another.
std::span<const ModelFamilyRow> model_family_table();

// The family's text ("Unknown Modem Family", "6085", ... "6270"); for any other value the
// text of the error itself.
const char* modem_family_enum_to_name(int32_t family);

// The family of the first table row whose text occurs in `text`, both taken in upper case; 0
// for a null or empty text or when no row matches.
int32_t modem_family_of_name(const char* text);

}  // namespace kav
