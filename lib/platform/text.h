// Small text helpers of the platform layer: ASCII letter case and trimming of blanks, as the
// registry, INI and device-view code compare names.
//
// Threading: pure functions.
#pragma once

#include <string>

namespace kav::platform {

// `text` with ASCII upper-case letters turned to lower case (other bytes unchanged).
inline std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// `text` with ASCII lower-case letters turned to upper case (other bytes unchanged).
inline std::string ascii_upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// True when `a` and `b` are equal but for ASCII letter case.
inline bool iequals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// `text` without blanks and tabs at either end, and without carriage returns at its end (a
// line read from a file written on Windows).
inline std::string trim_blanks(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) {
    --end;
  }
  return text.substr(begin, end - begin);
}

}  // namespace kav::platform
