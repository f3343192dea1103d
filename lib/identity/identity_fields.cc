// The identity report's fields: MEID text, firmware version and text, IMEI, family choice.
#include "lib/identity/identity_fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/discovery/modem_family.h"

namespace kav {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr size_t kMeidDigits = 14;

// The value of a digit character (0 to 15), or -1.
int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool all_decimal(std::string_view digits) {
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A version of exactly four parts whose last part starts with "0" keeps only that "0".
void shorten_fourth_part(std::string* token) {
  if (std::count(token->begin(), token->end(), '.') != 3) return;
  const size_t last_dot = token->rfind('.');
  if (last_dot + 1 < token->size() && (*token)[last_dot + 1] == '0') {
    token->resize(last_dot + 2);
  }
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

char meid_check_digit(std::string_view digits) {
  if (digits.empty()) return '?';
  const int base = all_decimal(digits) ? 10 : 16;
  int sum = 0;
  for (size_t i = 0; i < digits.size(); ++i) {
    const int value = digit_value(digits[i]);
    if (value < 0) return '?';
    if (i % 2 == 0) {
      sum += value;
    } else {
      const int doubled = 2 * value;
      sum += doubled / base + doubled % base;
    }
  }
  const int r = sum % base;
  return r == 0 ? '0' : kDigits[base - r];
}

std::string meid_to_text(const uint8_t bytes[7]) {
  const uint32_t high = (uint32_t{bytes[6]} << 24) | (uint32_t{bytes[5]} << 16) |
                        (uint32_t{bytes[4]} << 8) | bytes[3];
  const uint32_t low = (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[1]} << 8) | bytes[0];
  char text[kMeidDigits + 2];
  std::snprintf(text, sizeof text, "%8.8X%6.6X", static_cast<unsigned>(high),
                static_cast<unsigned>(low));
  text[kMeidDigits] = meid_check_digit(std::string_view(text, kMeidDigits));
  text[kMeidDigits + 1] = '\0';
  return text;
}

std::string firmware_version_token(const char* firmware, size_t size) {
  const std::string_view text(firmware, strnlen(firmware, size));
  std::string token(text.substr(0, text.find_first_of("- \t")));
  shorten_fourth_part(&token);
  return token;
}

std::string firmware_text(int32_t family, std::string_view model, std::string_view version) {
  std::string text(family == ZqUmtsKavModemFamily_Unknown ? model
                                                          : modem_family_enum_to_name(family));
  text += ':';
  text += version;
  if (text.size() > kMaxFirmwareTextLength) text.resize(kMaxFirmwareTextLength);
  std::replace_if(text.begin(), text.end(), is_blank, '_');
  return text;
}

std::string imei_from_identity(const uint8_t identity[11]) {
  constexpr uint8_t kLength = 8;
  constexpr uint8_t kTypeImeiOdd = 0x0A;
  if (identity[0] != 0 || identity[1] != 0 || identity[2] != kLength ||
      (identity[3] & 0x0F) != kTypeImeiOdd) {
    return {};
  }
  std::string digits(1, static_cast<char>(identity[3] >> 4));
  for (size_t i = 4; i < 11; ++i) {
    digits += static_cast<char>(identity[i] & 0x0F);
    digits += static_cast<char>(identity[i] >> 4);
  }
  // Every half byte as '0' plus its value: one above 9 (a filler or a corrupted digit) shows
  // as ':' to '?' and leaves the other digits readable.
  for (char& d : digits) d = static_cast<char>('0' + d);
  return digits;
}

int32_t modem_family_of_models(const char* model, const char* second_model) {
  const int32_t first = modem_family_of_name(model);
  const int32_t second = modem_family_of_name(second_model);
  if (second == ZqUmtsKavModemFamily_7200) return second;
  return first != ZqUmtsKavModemFamily_Unknown ? first : second;
}

}  // namespace kav
