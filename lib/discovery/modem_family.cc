// Modem family names and the model-text look-up.
#include "lib/discovery/modem_family.h"

#include <string>

#include "lib/core/timeouts.h"
#include "lib/platform/text.h"

namespace kav {
namespace {

using platform::ascii_upper;

// Searched in order; the first row whose text occurs in the model text wins. Hotspots are
// listed with and without the blank after the brand word, as their firmware reports either.
constexpr ModelFamilyRow kModelFamilyTable[] = {
    // 6085
    {"6085", ZqUmtsKavModemFamily_6085},
    {"U100", ZqUmtsKavModemFamily_6085},
    {"U120", ZqUmtsKavModemFamily_6085},
    {"PC140", ZqUmtsKavModemFamily_6085},
    {"PC160", ZqUmtsKavModemFamily_6085},
    {"XC180", ZqUmtsKavModemFamily_6085},
    {"MC110", ZqUmtsKavModemFamily_6085},
    {"MC130", ZqUmtsKavModemFamily_6085},
    {"EM150", ZqUmtsKavModemFamily_6085},
    {"Thornbury", ZqUmtsKavModemFamily_6085},  // development code name of the U100
    // 6246
    {"6246", ZqUmtsKavModemFamily_6246},
    {"U210", ZqUmtsKavModemFamily_6246},
    {"MC220", ZqUmtsKavModemFamily_6246},
    {"XC230", ZqUmtsKavModemFamily_6246},
    {"EM290", ZqUmtsKavModemFamily_6246},
    // 6275
    {"U250", ZqUmtsKavModemFamily_6275},
    {"U260", ZqUmtsKavModemFamily_6275},
    {"MC270", ZqUmtsKavModemFamily_6275},
    {"XC280", ZqUmtsKavModemFamily_6275},
    {"PC255", ZqUmtsKavModemFamily_6275},
    {"EM295", ZqUmtsKavModemFamily_6275},
    // 6280
    {"U300", ZqUmtsKavModemFamily_6280},
    {"U305", ZqUmtsKavModemFamily_6280},
    {"U320", ZqUmtsKavModemFamily_6280},
    {"MC330", ZqUmtsKavModemFamily_6280},
    {"MC335", ZqUmtsKavModemFamily_6280},
    {"XC340", ZqUmtsKavModemFamily_6280},
    {"XC345", ZqUmtsKavModemFamily_6280},
    {"EM350", ZqUmtsKavModemFamily_6280},
    {"PC360", ZqUmtsKavModemFamily_6280},
    // 6290
    {"6290", ZqUmtsKavModemFamily_6290},
    {"U370", ZqUmtsKavModemFamily_6290},
    {"U375", ZqUmtsKavModemFamily_6290},
    {"U380", ZqUmtsKavModemFamily_6290},
    {"U385", ZqUmtsKavModemFamily_6290},
    {"MC390", ZqUmtsKavModemFamily_6290},
    {"MC395", ZqUmtsKavModemFamily_6290},
    {"XC400", ZqUmtsKavModemFamily_6290},
    {"XC405", ZqUmtsKavModemFamily_6290},
    {"EM410", ZqUmtsKavModemFamily_6290},
    {"EM415", ZqUmtsKavModemFamily_6290},
    {"PC420", ZqUmtsKavModemFamily_6290},
    {"Zumi 2100", ZqUmtsKavModemFamily_6290},
    {"Zumi2100", ZqUmtsKavModemFamily_6290},
    {"Zumi 2200", ZqUmtsKavModemFamily_6290},
    {"Zumi2200", ZqUmtsKavModemFamily_6290},
    // 7200
    {"U600", ZqUmtsKavModemFamily_7200},
    {"U605", ZqUmtsKavModemFamily_7200},
    {"MC610", ZqUmtsKavModemFamily_7200},
    {"MC615", ZqUmtsKavModemFamily_7200},
    {"EM620", ZqUmtsKavModemFamily_7200},
    {"XC625", ZqUmtsKavModemFamily_7200},
    {"PC630", ZqUmtsKavModemFamily_7200},
    {"Zumi 3300", ZqUmtsKavModemFamily_7200},
    {"Zumi3300", ZqUmtsKavModemFamily_7200},
    {"Zumi 3350", ZqUmtsKavModemFamily_7200},
    {"Zumi3350", ZqUmtsKavModemFamily_7200},
    // 7225
    {"7225", ZqUmtsKavModemFamily_7225},
    {"U430", ZqUmtsKavModemFamily_7225},
    {"U435", ZqUmtsKavModemFamily_7225},
    {"U440", ZqUmtsKavModemFamily_7225},
    {"U445", ZqUmtsKavModemFamily_7225},
    {"MC450", ZqUmtsKavModemFamily_7225},
    {"MC455", ZqUmtsKavModemFamily_7225},
    {"EM460", ZqUmtsKavModemFamily_7225},
    {"XC465", ZqUmtsKavModemFamily_7225},
    {"PC470", ZqUmtsKavModemFamily_7225},
    {"U500", ZqUmtsKavModemFamily_7225},
    {"U505", ZqUmtsKavModemFamily_7225},
    {"U510", ZqUmtsKavModemFamily_7225},
    {"U515", ZqUmtsKavModemFamily_7225},
    {"MC520", ZqUmtsKavModemFamily_7225},
    {"MC525", ZqUmtsKavModemFamily_7225},
    {"XC530", ZqUmtsKavModemFamily_7225},
    // 7627
    {"7627", ZqUmtsKavModemFamily_7627},
    {"EM540", ZqUmtsKavModemFamily_7627},
    {"XC535", ZqUmtsKavModemFamily_7627},
    {"Zumi 4510", ZqUmtsKavModemFamily_7627},
    {"Zumi4510", ZqUmtsKavModemFamily_7627},
    // 8200
    {"8200", ZqUmtsKavModemFamily_8200},
    {"U640", ZqUmtsKavModemFamily_8200},
    {"U645", ZqUmtsKavModemFamily_8200},
    {"U650", ZqUmtsKavModemFamily_8200},
    // 8220
    {"8220", ZqUmtsKavModemFamily_8220},
    {"U655", ZqUmtsKavModemFamily_8220},
    {"MC660", ZqUmtsKavModemFamily_8220},
    {"MC665", ZqUmtsKavModemFamily_8220},
    {"XC670", ZqUmtsKavModemFamily_8220},
    {"EM675", ZqUmtsKavModemFamily_8220},
    {"PC680", ZqUmtsKavModemFamily_8220},
    {"U685", ZqUmtsKavModemFamily_8220},
    {"MC690", ZqUmtsKavModemFamily_8220},
    {"XC695", ZqUmtsKavModemFamily_8220},
    {"EM698", ZqUmtsKavModemFamily_8220},
    {"Zumi 4620", ZqUmtsKavModemFamily_8220},
    {"Zumi4620", ZqUmtsKavModemFamily_8220},
    // 9200
    {"9200", ZqUmtsKavModemFamily_9200},
    {"U700", ZqUmtsKavModemFamily_9200},
    {"U705", ZqUmtsKavModemFamily_9200},
    {"U710", ZqUmtsKavModemFamily_9200},
    {"U715", ZqUmtsKavModemFamily_9200},
    {"MC720", ZqUmtsKavModemFamily_9200},
    {"MC725", ZqUmtsKavModemFamily_9200},
    {"EM730", ZqUmtsKavModemFamily_9200},
    // 9600
    {"9600", ZqUmtsKavModemFamily_9600},
    {"EM740", ZqUmtsKavModemFamily_9600},
    {"EM745", ZqUmtsKavModemFamily_9600},
    {"U800", ZqUmtsKavModemFamily_9600},
    {"U805", ZqUmtsKavModemFamily_9600},
    {"U810", ZqUmtsKavModemFamily_9600},
    {"U820", ZqUmtsKavModemFamily_9600},
    {"MC815", ZqUmtsKavModemFamily_9600},
    {"MC825", ZqUmtsKavModemFamily_9600},
    {"MC835", ZqUmtsKavModemFamily_9600},
    {"XC830", ZqUmtsKavModemFamily_9600},
    {"XC840", ZqUmtsKavModemFamily_9600},
    {"PC845", ZqUmtsKavModemFamily_9600},
    {"EM850", ZqUmtsKavModemFamily_9600},
    {"EM855", ZqUmtsKavModemFamily_9600},
    {"U860", ZqUmtsKavModemFamily_9600},
    {"MC865", ZqUmtsKavModemFamily_9600},
    {"Zumi 5510", ZqUmtsKavModemFamily_9600},
    {"Zumi5510", ZqUmtsKavModemFamily_9600},
    {"Zumi 5520", ZqUmtsKavModemFamily_9600},
    {"Zumi5520", ZqUmtsKavModemFamily_9600},
    // 9X15
    {"9X15", ZqUmtsKavModemFamily_9X15},
    {"U900", ZqUmtsKavModemFamily_9X15},
    {"MC910", ZqUmtsKavModemFamily_9X15},
    {"EM920", ZqUmtsKavModemFamily_9X15},
    {"U930", ZqUmtsKavModemFamily_9X15},
    {"MC940", ZqUmtsKavModemFamily_9X15},
    {"Vorla", ZqUmtsKavModemFamily_9X15},
    {"Halvern", ZqUmtsKavModemFamily_9X15},
    {"Zumi 7351", ZqUmtsKavModemFamily_9X15},
    {"Zumi7351", ZqUmtsKavModemFamily_9X15},
    // 1110
    {"1110", ZqUmtsKavModemFamily_1110},
    {"P110", ZqUmtsKavModemFamily_1110},
    // 6270
    {"6270", ZqUmtsKavModemFamily_6270},
    {"P120", ZqUmtsKavModemFamily_6270},
};

constexpr const char* kFamilyNames[] = {
    "Unknown Modem Family",
    "6085",
    "6246",
    "6275",
    "6280",
    "6290",
    "7200",
    "7225",
    "7227",
    "7627",
    "8200",
    "8220",
    "9200",
    "9600",
    "9X15",
    "1110",
    "6270",
};

// A 9X15 modem can take up to three minutes to come back on the USB bus after a reset.
constexpr int32_t k9X15ReappearLimitMs = 180000;

}  // namespace

std::span<const ModelFamilyRow> model_family_table() {
  return kModelFamilyTable;
}

const char* modem_family_enum_to_name(int32_t family) {
  if (family < 0 || family >= static_cast<int32_t>(std::size(kFamilyNames))) {
    return "ERROR: Unsupported ZqUmtsKavModemFamilyEnum value in modem_family_enum_to_name\n";
  }
  return kFamilyNames[family];
}

int32_t modem_family_of_name(const char* text) {
  if (text == nullptr || *text == '\0') return ZqUmtsKavModemFamily_Unknown;
  const std::string model = ascii_upper(text);
  for (const ModelFamilyRow& row : kModelFamilyTable) {
    if (model.find(ascii_upper(row.model)) == std::string::npos) continue;
    if (row.family == ZqUmtsKavModemFamily_9X15) {
      set_timeout(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT, k9X15ReappearLimitMs);
    }
    return row.family;
  }
  return ZqUmtsKavModemFamily_Unknown;
}

}  // namespace kav
