// Gathering the modem identity and printing the identity report.
#include "lib/identity/modem_identity.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/core/messages.h"
#include "lib/core/status.h"
#include "lib/identity/identity_fields.h"
#include "lib/identity/openzumi.h"
#include "lib/identity/zq_status.h"
#include "lib/nv/nv_items.h"
#include "lib/nv/nv_names.h"
#include "lib/transport/diag_packets.h"

namespace kav {
namespace {

ModemIdentity g_current{};
ModemIdentity g_previous{};

constexpr size_t kNvDataSize = 128;
// The item is not defined for the firmware (the look-up failed; nothing was read).
constexpr int kNvUndefined = -1;

using NvValue = uint8_t[kNvDataSize];

template <size_t N>
void copy_text(char (&field)[N], std::string_view text) {
  const size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Reads the NV item `name` as the database defines it for `firmware`: read_nv_item's result
// with the value copied into `value` on 0, or kNvUndefined when the item is not defined.
int read_named_item(const char* name, const char* firmware, NvValue& value) {
  NvItemInfo info;
  if (!lookup_nv_item(name, firmware, &info)) return kNvUndefined;
  const uint8_t* data = nullptr;
  const char* stored_name = info.name != nullptr ? info.name : name;
  const int result = read_nv_item(stored_name, static_cast<uint16_t>(info.id), firmware, 0, &data);
  if (result == kNvReadOk && data != nullptr) std::memcpy(value, data, kNvDataSize);
  return result;
}

// Model names, hardware revision, family, firmware version and text from the status record.
void take_status_fields(const ZqStatusRecord& record, ModemIdentity* id) {
  copy_text(id->model, record_text(record.model));
  copy_text(id->hw_rev, record_text(record.hw_rev));
  copy_text(id->second_model, record_text(record.second_model));
  id->family = modem_family_of_models(id->model, id->second_model);
  const std::string version = firmware_version_token(record.firmware, sizeof record.firmware);
  copy_text(id->firmware_version, version);
  copy_text(id->firmware_rev, firmware_text(id->family, id->model, version));
  copy_text(id->imei, imei_from_identity(record.identity));
}

// MEID and factory id from their NV items; each stays empty when it cannot be read.
void take_nv_fields(ModemIdentity* id) {
  NvValue value{};
  if (read_named_item("NV_MEID_I", id->firmware_rev, value) == kNvReadOk) {
    copy_text(id->meid, meid_to_text(value));
  }
  if (read_named_item("ZQ_NV_FACTORY_ID_I", id->firmware_rev, value) == kNvReadOk) {
    const char* text = reinterpret_cast<const char*>(value);
    copy_text(id->factory_id, std::string_view(text, strnlen(text, kNvDataSize)));
  }
}

// The report's USB id line for the modem's ZQ_NV_USB_ID_I, or an empty text.
std::string usb_id_line(const char* firmware) {
  NvValue value{};
  const int result = read_named_item("ZQ_NV_USB_ID_I", firmware, value);
  if (result == kNvReadInactive) return "# NV USB ID   : Inactive\n";
  if (result != kNvReadOk) return {};
  char line[64];
  std::snprintf(line, sizeof line, "# NV USB ID   : VID = 0x%4.4X, PID = 0x%4.4X\n",
                static_cast<unsigned>(value[0] | (value[1] << 8)),
                static_cast<unsigned>(value[2] | (value[3] << 8)));
  return line;
}

const char* shown(const char* field) {
  return field[0] != '\0' ? field : "Not Defined";
}

void print_report(const ModemIdentity& id, const ZqStatusRecord& record,
                  const std::string& usb_line) {
  show_msg("#\n# IMEI        : %s\n", shown(id.imei));
  show_msg("# MEID        : %s\n", shown(id.meid));
  show_msg("# Factory ID  : %s\n", shown(id.factory_id));
  show_msg("# Mobile Model: %s (HW REV %s)\n", id.model, id.hw_rev);
  show_msg("# Firmware Rev: %s\n", id.firmware_rev);
  show_msg("#             : %.50s\n", record.firmware);
  if (!usb_line.empty()) show_msg("%s", usb_line.c_str());
  char openzumi[kOpenZumiBufferSize];
  const ZqUmtsKavStatusEnum result = get_openzumi_version(openzumi);
  if (result == status::kSuccess || result == status::kOpenZumiNoVersion) {
    show_msg("# OpenZumi Rev: %s\n", openzumi);
  }
  show_msg("#\n");
}

}  // namespace

const ModemIdentity* getModemId() {
  g_previous = g_current;
  g_current = ModemIdentity{};
  const ZqStatusRecord* status = get_zq_status();
  if (status == nullptr) {
    show_msg("Failed to get_zq_status in getModemId.\n");
    return nullptr;
  }
  // The record is the status command's buffer; the NV reads and the OpenZumi query below may
  // lead to another status request.
  const ZqStatusRecord record = *status;
  take_status_fields(record, &g_current);
  take_nv_fields(&g_current);
  const std::string usb_line = usb_id_line(g_current.firmware_rev);
  if (g_current == g_previous) return &g_current;
  print_report(g_current, record, usb_line);
  return &g_current;
}

void reset_modem_identity() {
  g_current = ModemIdentity{};
  g_previous = ModemIdentity{};
}

}  // namespace kav
