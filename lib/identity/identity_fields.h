// The fields of the modem identity report, built from the bytes the modem reports: the MEID
// text with its check digit, the firmware version token, the firmware text that keys the NV item
// database, the IMEI decoded from the status record's identity bytes, and the family chosen
// from the two model names.
//
// Threading: pure functions (modem_family_of_models raises a time-out for 9X15 modems, as
// modem_family_of_name does; that store is atomic).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kav {

// A fixed-size text field of a wire record, which need not be zero-terminated within its size.
template <size_t N>
std::string_view record_text(const char (&field)[N]) {
  return {field, strnlen(field, N)};
}

// The Luhn check digit of `digits` ("0"-"9", "A"-"F"), computed in base 10 when every digit is
// decimal and in base 16 otherwise. '?' for an empty text or a character that is no digit.
char meid_check_digit(std::string_view digits);

// The MEID text of the 7 value bytes of NV_MEID_I (b0 the least significant): 14 upper-case
// hexadecimal digits, most significant first, and the check digit (15 characters).
std::string meid_to_text(const uint8_t bytes[7]);

// The firmware version token of a firmware text of at most `size` bytes (it need not be
// zero-terminated): the text up to the first "-", blank or tab; a four-part version whose last
// part starts with "0" keeps only that "0" ('1.2.3.04' gives '1.2.3.0').
std::string firmware_version_token(const char* firmware, size_t size);

// The longest firmware text: it must fit the 81-byte field with its zero.
constexpr size_t kMaxFirmwareTextLength = 80;

// The text keying the NV item database: the family's name (the model name for family 0), a
// colon and the version, cut to 80 characters, with blanks, tabs, CR and LF turned to "_".
std::string firmware_text(int32_t family, std::string_view model, std::string_view version);

// The 15 IMEI digits in the 11 identity bytes of the status record (3GPP mobile identity: two
// zero bytes, length 8, type 0xA with the first digit in the high half, then seven digit pairs
// low half first); empty when the bytes have another form or a half byte is no decimal digit.
std::string imei_from_identity(const uint8_t identity[11]);

// The family of a modem that reports two model names: the second's when it is 7200, else the
// first's unless that is 0, else the second's.
int32_t modem_family_of_models(const char* model, const char* second_model);

}  // namespace kav
