// Bytes as kav shows and takes them: hexadecimal pairs separated by blanks ("54 61 72"), and
// the parsing of such bytes from command-line words ("01 02", "0102", "0x01,0x02").
//
// Threading: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kav::tool {

// "54 61 72": two lower-case digits per byte, one blank between bytes; "" for no bytes.
std::string hex_bytes(const uint8_t* bytes, size_t count);
inline std::string hex_bytes(const std::vector<uint8_t>& bytes) {
  return hex_bytes(bytes.data(), bytes.size());
}

// Bytes from words of hexadecimal digits: each word holds whole bytes (two digits each, an
// optional "0x" prefix per byte, commas between bytes allowed), so "01 02", "0102" and
// "0x01,0x02" are the same two bytes. On a word that is no such text, `error` names it.
std::optional<std::vector<uint8_t>> parse_hex_words(const std::vector<std::string>& words,
                                                    std::string* error);

// The number of bytes of `bytes` up to and including the last one that is not zero.
size_t length_without_trailing_zeros(const uint8_t* bytes, size_t count);

// True when every byte is a printable ASCII character (blank to '~').
bool is_printable(const uint8_t* bytes, size_t count);

}  // namespace kav::tool
