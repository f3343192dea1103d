// The identity of the attached modem (IMEI, MEID, factory id, model names, hardware revision,
// firmware version and text, family), gathered from the maker's status record and NV items, and
// the "#" block reporting it, printed whenever the identity differs from the previous call's.
//
// Threading: the host thread only. The current and the previous identity are process-wide and
// unlocked; the record getModemId returns is overwritten by its next call.
#pragma once

#include <cstdint>

namespace kav {

// Zero-terminated texts, zero-filled to their size, so that two records compare equal exactly
// when every field holds the same text or value.
struct ModemIdentity {
  char imei[16];              // 15 decimal digits; empty when not available
  char meid[16];              // meid_to_text of NV_MEID_I; empty when not available
  char factory_id[32];        // ZQ_NV_FACTORY_ID_I, at most 31 characters
  char model[81];             // model name of the status record
  char hw_rev[81];            // hardware revision of the status record
  char firmware_rev[81];      // the firmware text keying the NV item database
  char firmware_version[81];  // the firmware version token
  char second_model[81];      // second model name of the status record
  int32_t family;             // ZqUmtsKavModemFamilyEnum

  bool operator==(const ModemIdentity&) const = default;
};

// Gathers the identity of the modem on the open DM port and prints the report when it changed.
// None when the status record cannot be had (the next successful call reports again).
const ModemIdentity* getModemId();

// Both records back to zero, as in a fresh process (tests).
void reset_modem_identity();

}  // namespace kav
