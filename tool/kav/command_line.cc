#include "tool/kav/command_line.h"

namespace kav::tool {

std::string quote_argument(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) return word;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a '"' follows them; before one, each is doubled and the
    // quote itself escaped.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  // The closing quote must not be escaped by the word's own trailing backslashes.
  quoted.append(2 * backslashes, '\\');
  return quoted + '"';
}

std::string command_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += quote_argument(word);
  }
  return line;
}

}  // namespace kav::tool
