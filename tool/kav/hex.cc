#include "tool/kav/hex.h"

namespace kav::tool {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of one word, appended to `out`; false when the word is not hex bytes.
bool parse_word(const std::string& word, std::vector<uint8_t>* out) {
  size_t i = 0;
  bool any = false;
  while (i < word.size()) {
    if (word[i] == ',') {
      ++i;
      continue;
    }
    if (word.compare(i, 2, "0x") == 0 || word.compare(i, 2, "0X") == 0) i += 2;
    const int high = i < word.size() ? hex_digit(word[i]) : -1;
    const int low = i + 1 < word.size() ? hex_digit(word[i + 1]) : -1;
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<uint8_t>(high * 16 + low));
    i += 2;
    any = true;
  }
  return any;
}

}  // namespace

std::string hex_bytes(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::optional<std::vector<uint8_t>> parse_hex_words(const std::vector<std::string>& words,
                                                    std::string* error) {
  std::vector<uint8_t> bytes;
  for (const std::string& word : words) {
    if (!parse_word(word, &bytes)) {
      *error = "\"" + word + "\" is not hexadecimal bytes (two digits per byte, as in 0a 1b)";
      return std::nullopt;
    }
  }
  if (bytes.empty()) {
    *error = "no bytes given";
    return std::nullopt;
  }
  return bytes;
}

size_t length_without_trailing_zeros(const uint8_t* bytes, size_t count) {
  while (count > 0 && bytes[count - 1] == 0) --count;
  return count;
}

bool is_printable(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] < 0x20 || bytes[i] > 0x7E) return false;
  }
  return true;
}

}  // namespace kav::tool
