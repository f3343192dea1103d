#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "lib/platform/reg_file.h"
#include "lib/platform/text.h"

namespace kav::platform {

namespace {

constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kHeader4[] = "REGEDIT4";
constexpr char kUserRoot[] = "HKEY_CURRENT_USER";

// The text of a line without its terminator.
std::string content(const std::string& line) {
  size_t end = line.size();
  if (end > 0 && line[end - 1] == '\n') --end;
  if (end > 0 && line[end - 1] == '\r') --end;
  return line.substr(0, end);
}

// Splits `text` into lines, each keeping its terminator; the last may have none.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// Key path components joined by single backslashes: leading, trailing and repeated
// separators are dropped, so "\\Software\\\\X\\" names the same key as "Software\\X".
std::string normalize_path(const std::string& path) {
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      if (!out.empty()) out += '\\';
      out += path.substr(start, end - start);
    }
    start = end + 1;
  }
  return out;
}

std::string quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string encode_name(const std::string& name) {
  return name.empty() ? "@" : quote(name);
}

// Reads a quoted text at text[*pos] (the opening quote) with the escapes \\ and \".
bool parse_quoted(const std::string& text, size_t* pos, std::string* out, std::string* error) {
  out->clear();
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    if (text[i] == '"') {
      *pos = i + 1;
      return true;
    }
    if (text[i] == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
        *error = "a backslash in a quoted text must be followed by \\ or \"";
        return false;
      }
      ++i;
    }
    *out += text[i];
  }
  *error = "a quoted text has no closing quote";
  return false;
}

// `text` without blanks and tabs at either end and carriage returns at its end, as trim_blanks
// cuts it, without copying.
std::string_view trim_view(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool parse_hex_number(std::string_view text, uint32_t* out) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  *out = value;
  return true;
}

// A comma-separated list of bytes in hexadecimal ("01,ff,0a"); empty for no bytes. Read in
// place: settings files can hold lists of megabytes.
bool parse_hex_bytes(std::string_view text, std::vector<uint8_t>* out, std::string* error) {
  out->clear();
  if (trim_view(text).empty()) return true;
  out->reserve(text.size() / 3 + 1);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = trim_view(text.substr(start, end - start));
    uint32_t byte = 0;
    if (item.size() > 2 || !parse_hex_number(item, &byte)) {
      *error = "\"" + std::string(item) + "\" is not a byte in hexadecimal";
      return false;
    }
    out->push_back(static_cast<uint8_t>(byte));
    start = end + 1;
  }
  return true;
}

// The data after '=' of a value line. Returns false with `error` set when it is malformed;
// sets `deleted` for the "-" of a value deletion.
bool parse_data(const std::string& data, RegValue* value, bool* deleted, std::string* error) {
  *deleted = false;
  if (data == "-") {
    *deleted = true;
    return true;
  }
  if (!data.empty() && data[0] == '"') {
    size_t pos = 0;
    std::string text;
    if (!parse_quoted(data, &pos, &text, error)) return false;
    if (!trim_blanks(data.substr(pos)).empty()) {
      *error = "unexpected text after the closing quote";
      return false;
    }
    value->type = kRegSz;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
    return true;
  }
  const std::string low = ascii_lower(data);
  if (low.rfind("dword:", 0) == 0) {
    uint32_t number = 0;
    if (!parse_hex_number(trim_blanks(data.substr(6)), &number)) {
      *error = "dword: must be followed by 1 to 8 hexadecimal digits";
      return false;
    }
    value->type = kRegDword;
    value->data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                   static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    return true;
  }
  if (low.rfind("hex:", 0) == 0) {
    value->type = kRegBinary;
    return parse_hex_bytes(std::string_view(data).substr(4), &value->data, error);
  }
  if (low.rfind("hex(", 0) == 0) {
    const size_t close = data.find("):");
    uint32_t type = 0;
    if (close == std::string::npos || !parse_hex_number(data.substr(4, close - 4), &type)) {
      *error = "hex( must be followed by a hexadecimal type number and \"):\"";
      return false;
    }
    value->type = type;
    return parse_hex_bytes(std::string_view(data).substr(close + 2), &value->data, error);
  }
  *error = "the value data is neither a quoted text, dword:, hex: nor hex(N):";
  return false;
}

void append_utf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// UTF-16LE (after its byte order mark) as UTF-8. False, with the line named, for an odd byte
// count or a surrogate without its partner: such a file cannot be written back as it was.
bool utf16le_to_utf8(std::string_view units, std::string* out, std::string* problem) {
  auto line = [&] {
    return "line " + std::to_string(1 + std::count(out->begin(), out->end(), '\n'));
  };
  if (units.size() % 2 != 0) {
    *problem = "line " + std::to_string(1 + std::count(units.begin(), units.end(), '\n')) +
               ": UTF-16 text with an odd number of bytes";
    return false;
  }
  auto unit_at = [&](size_t i) {
    return static_cast<uint32_t>(uint8_t(units[i]) | (uint8_t(units[i + 1]) << 8));
  };
  for (size_t i = 0; i < units.size(); i += 2) {
    uint32_t code_point = unit_at(i);
    if (code_point >= 0xD800 && code_point <= 0xDBFF && i + 2 < units.size() &&
        unit_at(i + 2) >= 0xDC00 && unit_at(i + 2) <= 0xDFFF) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (unit_at(i + 2) - 0xDC00);
      i += 2;
    } else if (code_point >= 0xD800 && code_point <= 0xDFFF) {
      *problem = line() + ": UTF-16 text with an unpaired surrogate";
      return false;
    }
    append_utf8(code_point, out);
  }
  return true;
}

// The UTF-8 text (as utf16le_to_utf8 made it, or changed lines in ASCII) back as UTF-16LE.
std::string utf8_to_utf16le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  auto put = [&](uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  for (size_t i = 0; i < text.size();) {
    const auto lead = uint8_t(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t code_point = length == 1   ? lead
                          : length == 2 ? lead & 0x1F
                          : length == 3 ? lead & 0x0F
                                        : lead & 0x07;
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      code_point = (code_point << 6) | (uint8_t(text[i + k]) & 0x3F);
    }
    i += length;
    if (code_point >= 0x10000) {
      put(0xD800 + ((code_point - 0x10000) >> 10));
      put(0xDC00 + ((code_point - 0x10000) & 0x3FF));
    } else {
      put(code_point);
    }
  }
  return out;
}

}  // namespace

bool RegDocument::parse(const std::string& text, std::string* problem) {
  *this = RegDocument();
  std::string body = text;
  // The registry editor of Windows exports UTF-16LE with a byte order mark: read as UTF-8 and
  // written back in UTF-16LE.
  if (body.size() >= 2 && uint8_t(body[0]) == 0xFF && uint8_t(body[1]) == 0xFE) {
    std::string decoded;
    if (!utf16le_to_utf8(std::string_view(body).substr(2), &decoded, problem)) return false;
    body = std::move(decoded);
    utf16_ = true;
  } else if (body.size() >= 2 && uint8_t(body[0]) == 0xFE && uint8_t(body[1]) == 0xFF) {
    *problem = "line 1: UTF-16 big-endian text is not supported; save the file as UTF-8";
    return false;
  }
  if (!utf16_ && body.rfind("\xEF\xBB\xBF", 0) == 0) {
    bom_ = true;
    body = body.substr(3);
  }
  const std::vector<std::string> lines = split_lines(body);
  bool all_blank = true;
  for (const std::string& line : lines) all_blank = all_blank && trim_blanks(content(line)).empty();
  if (all_blank) {
    preamble_ = body;  // kept as it was until the first key is added
    return true;
  }
  const std::string first = trim_blanks(content(lines[0]));
  if (first != kHeader5 && first != kHeader4) {
    *problem = std::string("line 1: the file does not begin with \"") + kHeader5 + "\"";
    return false;
  }
  has_header_ = true;
  crlf_ = lines[0].size() >= 2 && lines[0].compare(lines[0].size() - 2, 2, "\r\n") == 0;
  preamble_ += lines[0];
  for (size_t index = 1; index < lines.size();) {
    const size_t number = index + 1;
    std::string error;
    if (!parse_line(lines, &index, &error)) {
      *problem = "line " + std::to_string(number) + ": " + error;
      *this = RegDocument();
      return false;
    }
  }
  return true;
}

// Parses the line at lines[*index] (and its continuation lines) and advances *index.
bool RegDocument::parse_line(const std::vector<std::string>& lines, size_t* index,
                             std::string* error) {
  const std::string& raw = lines[*index];
  const std::string line = trim_blanks(content(raw));
  ++*index;
  if (line.empty() || line[0] == ';') {
    if (sections_.empty()) {
      preamble_ += raw;
    } else {
      sections_.back().entries.push_back(Entry{raw, false, true, {}, {}});
    }
    return true;
  }
  if (line[0] == '[') {
    if (line.back() != ']') {
      *error = "a key line must end with ']'";
      return false;
    }
    Section section;
    section.header = raw;
    const std::string key = line.substr(1, line.size() - 2);
    const std::string root = key.substr(0, key.find('\\'));
    // "[-key]" deletes a key on import and other roots are not this hive: both stay as text.
    section.in_hive = !key.empty() && key[0] != '-' && iequals(root, kUserRoot);
    if (section.in_hive) section.path = normalize_path(key.substr(root.size()));
    sections_.push_back(std::move(section));
    return true;
  }
  if (line[0] != '"' && line[0] != '@') {
    *error = "expected a [key], a \"name\"=value, @=value, a comment or a blank line";
    return false;
  }
  if (sections_.empty()) {
    *error = "a value before the first [key]";
    return false;
  }
  Entry entry{raw, false, false, {}, {}};
  size_t pos = 1;  // after the '@' of the default value
  if (line[0] == '"') {
    pos = 0;
    if (!parse_quoted(line, &pos, &entry.name, error)) return false;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') {
    *error = "expected '=' after the value name";
    return false;
  }
  std::string data = trim_blanks(line.substr(pos + 1));
  // A hex list continues on the next line when this one ends in a backslash. The form is
  // decided once: looking at the whole growing list on every line would make long lists cost
  // the square of their length.
  const bool hex_list = ascii_lower(data.substr(0, 3)) == "hex";
  while (hex_list && !data.empty() && data.back() == '\\') {
    if (*index >= lines.size()) {
      *error = "the hex list continues past the end of the file";
      return false;
    }
    data.pop_back();
    entry.raw += lines[*index];
    data += trim_blanks(content(lines[(*index)++]));
  }
  bool deleted = false;
  if (!parse_data(data, &entry.data, &deleted, error)) return false;
  entry.is_value = !deleted;
  sections_.back().entries.push_back(std::move(entry));
  return true;
}

std::string RegDocument::render() const {
  std::string out = (bom_ ? "\xEF\xBB\xBF" : "") + preamble_;
  for (const Section& section : sections_) {
    out += section.header;
    for (const Entry& entry : section.entries) out += entry.raw;
  }
  return utf16_ ? "\xFF\xFE" + utf8_to_utf16le(out) : out;
}

bool RegDocument::has_key(const std::string& path) const {
  const std::string key = ascii_lower(normalize_path(path));
  if (key.empty()) return true;
  for (const Section& section : sections_) {
    if (!section.in_hive) continue;
    const std::string have = ascii_lower(section.path);
    if (have == key || have.rfind(key + "\\", 0) == 0) return true;
  }
  return false;
}

std::optional<RegValue> RegDocument::value(const std::string& path, const std::string& name) const {
  const Entry* entry = find_value(path, name);
  if (!entry) return std::nullopt;
  return entry->data;
}

const RegDocument::Entry* RegDocument::find_value(const std::string& path,
                                                  const std::string& name) const {
  const std::string key = normalize_path(path);
  const Entry* found = nullptr;
  for (const Section& section : sections_) {
    if (!section.in_hive || !iequals(section.path, key)) continue;
    for (const Entry& entry : section.entries) {
      if (entry.is_value && iequals(entry.name, name)) found = &entry;
    }
  }
  return found;
}

std::string RegDocument::newline() const {
  return crlf_ ? "\r\n" : "\n";
}

// Gives the file's last line a terminator, so that lines can follow it.
void RegDocument::end_with_newline() {
  std::string* last = &preamble_;
  for (Section& section : sections_) {
    last = &section.header;
    if (!section.entries.empty()) last = &section.entries.back().raw;
  }
  if (!last->empty() && last->back() != '\n') *last += newline();
}

bool RegDocument::add_key(const std::string& path) {
  if (has_key(path)) return false;
  append_section(path);
  return true;
}

// Appends "[HKEY_CURRENT_USER\path]" at the end of the file, after a blank line as the registry
// editor separates sections; an empty file first receives the header line.
RegDocument::Section& RegDocument::append_section(const std::string& path) {
  const std::string nl = newline();
  if (!has_header_) {
    preamble_ = std::string(kHeader5) + nl;
    has_header_ = true;
  }
  end_with_newline();
  const std::string text = render();
  if (text.size() < 2 * nl.size() ||
      text.compare(text.size() - 2 * nl.size(), 2 * nl.size(), nl + nl) != 0) {
    if (sections_.empty()) {
      preamble_ += nl;
    } else {
      sections_.back().entries.push_back(Entry{nl, false, true, {}, {}});
    }
  }
  const std::string key = normalize_path(path);
  const std::string name = std::string(kUserRoot) + (key.empty() ? "" : "\\") + key;
  sections_.push_back(Section{"[" + name + "]" + nl, true, key, {}});
  return sections_.back();
}

bool RegDocument::set_dword(const std::string& path, const std::string& name, uint32_t value) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", value);
  RegValue data{kRegDword,
                {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                 static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
  if (Entry* entry = const_cast<Entry*>(find_value(path, name))) {
    // The name keeps the spelling it has in the file.
    // The last line of a file without a final line feed stays without one.
    const bool ended = !entry->raw.empty() && entry->raw.back() == '\n';
    const std::string raw =
        encode_name(entry->name) + "=dword:" + digits + (ended ? newline() : "");
    if (raw == entry->raw) return false;
    entry->raw = raw;
    entry->data = data;
    return true;
  }
  const std::string key = normalize_path(path);
  Section* section = nullptr;
  for (Section& candidate : sections_) {
    if (candidate.in_hive && iequals(candidate.path, key)) section = &candidate;
  }
  // A missing key, or one that exists only as the parent of other keys, gets a section.
  if (!section) section = &append_section(key);
  // The new line goes after the section's last value, before the blank lines that end it.
  size_t at = 0;
  for (size_t i = 0; i < section->entries.size(); ++i) {
    if (!section->entries[i].blank_or_comment) at = i + 1;
  }
  if (section == &sections_.back() && at == section->entries.size()) end_with_newline();
  Entry entry{encode_name(name) + "=dword:" + digits + newline(), true, false, name, data};
  section->entries.insert(section->entries.begin() + static_cast<long>(at), std::move(entry));
  return true;
}

}  // namespace kav::platform
