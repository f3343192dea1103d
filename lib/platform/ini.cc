#include "lib/platform/ini.h"

#include <cctype>
#include <optional>
#include <sstream>

#include "lib/platform/files.h"
#include "lib/platform/text.h"

namespace kav::platform {

namespace {

// A value enclosed in a matching pair of quotes loses them, as the Windows reader does.
std::string unquote(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    return value.substr(1, value.size() - 2);
  return value;
}

// The value of `key` in the first `section` of the file that holds it, or none.
std::optional<std::string> find_value(std::istream& in, const std::string& section,
                                      const std::string& key) {
  std::string line;
  bool in_section = false;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first = false;
    const std::string text = trim_blanks(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text[0] == '[') {
      const size_t close = text.find(']');
      in_section =
          close != std::string::npos && iequals(trim_blanks(text.substr(1, close - 1)), section);
      continue;
    }
    const size_t equals = text.find('=');
    if (!in_section || equals == std::string::npos) continue;
    if (iequals(trim_blanks(text.substr(0, equals)), key))
      return unquote(trim_blanks(text.substr(equals + 1)));
  }
  return std::nullopt;
}

std::string cut(const std::string& text, size_t buffer_size) {
  if (buffer_size == 0) return {};
  return text.substr(0, buffer_size - 1);
}

}  // namespace

std::string get_private_profile_string(const std::string& section, const std::string& key,
                                       const std::string& default_value, size_t buffer_size,
                                       const std::string& path, int* read_error) {
  std::string text;
  const int error = read_whole_file(path, &text, kMaxProfileFileBytes);
  if (read_error) *read_error = error;
  if (error == 0) {
    std::istringstream in(text);
    if (std::optional<std::string> value = find_value(in, section, key))
      return cut(*value, buffer_size);
  }
  return cut(default_value, buffer_size);
}

}  // namespace kav::platform
