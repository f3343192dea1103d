#include "tool/kav/backup_file.h"

#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <utility>

#include "tool/kav/cli.h"
#include "tool/kav/hex.h"

namespace kav::tool {
namespace {

// Version 2 ends with "end COUNT"; version 1 files, written before, have no end line.
constexpr char kMagic[] = "kav-nv-backup 2";
constexpr char kMagicWithoutEnd[] = "kav-nv-backup 1";
constexpr char kComment[] =
    "# NV items of one modem, saved by kav nv backup. Item lines: item NAME ID INDEX VALUE\n"
    "# (NAME - when the NV item database has no name for the id, INDEX - for a plain item,\n"
    "# VALUE the data bytes in hex without trailing zero bytes, inactive or unreadable).\n"
    "# The last line, end COUNT, tells how many item lines the file holds.\n";

std::string or_dash(const std::string& text) {
  return text.empty() ? "-" : text;
}

bool is_control(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

// A header value as written: the modem's identity texts may hold anything, so a backslash and
// every control character (a line end would start a line of its own) are written as \\ and
// \xHH; an empty value is "-", a value that is "-" itself \x2d.
std::string header_value(const std::string& text) {
  if (text.empty()) return "-";
  if (text == "-") return "\\x2d";
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (is_control(c)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text of a header value as header_value() wrote it; other backslashes are kept as they
// are. None when the value holds a control character (written by hand, or damaged).
std::optional<std::string> header_text(const std::string& value) {
  if (value == "-") return std::string();
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (is_control(c)) return std::nullopt;
    if (c == '\\' && i + 1 < value.size() && value[i + 1] == '\\') {
      text += '\\';
      ++i;
    } else if (c == '\\' && i + 3 < value.size() && value[i + 1] == 'x' &&
               hex_digit(value[i + 2]) >= 0 && hex_digit(value[i + 3]) >= 0) {
      text += static_cast<char>(hex_digit(value[i + 2]) * 16 + hex_digit(value[i + 3]));
      i += 3;
    } else {
      text += c;
    }
  }
  return text;
}

std::string item_line(const BackupItem& item) {
  std::string line = "item " + or_dash(item.name) + " " + std::to_string(item.id) + " " +
                     (item.index < 0 ? "-" : std::to_string(item.index)) + " ";
  switch (item.state) {
    case BackupItem::State::kInactive:
      return line + "inactive\n";
    case BackupItem::State::kUnreadable:
      return line + "unreadable\n";
    default:
      return line + (item.value.empty() ? "00" : hex_bytes(item.value)) + "\n";
  }
}

std::vector<std::string> words_of(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string problem(int line, const std::string& text) {
  return "line " + std::to_string(line) + ": " + text;
}

// The VALUE words of an item line.
std::string parse_value(const std::vector<std::string>& words, BackupItem* item) {
  const std::vector<std::string> value(words.begin() + 4, words.end());
  if (value.size() == 1 && value[0] == "inactive") {
    item->state = BackupItem::State::kInactive;
  } else if (value.size() == 1 && value[0] == "unreadable") {
    item->state = BackupItem::State::kUnreadable;
  } else {
    std::string error;
    std::optional<std::vector<uint8_t>> bytes = parse_hex_words(value, &error);
    if (!bytes) return "value: " + error;
    const size_t room = item->index < 0 ? 128 : 127;
    if (bytes->size() > room) return "value of " + std::to_string(bytes->size()) + " bytes";
    bytes->resize(length_without_trailing_zeros(bytes->data(), bytes->size()));
    item->value = std::move(*bytes);
  }
  return {};
}

std::string parse_item(const std::vector<std::string>& words, BackupItem* item) {
  if (words.size() < 5) return "an item line is: item NAME ID INDEX VALUE";
  long id = 0;
  long index = -1;
  if (!parse_number(words[2], 0, 65535, &id)) return "id \"" + words[2] + "\" is not 0..65535";
  if (words[3] != "-" && !parse_number(words[3], 0, 255, &index)) {
    return "index \"" + words[3] + "\" is not - or 0..255";
  }
  item->name = words[1] == "-" ? "" : words[1];
  item->id = static_cast<uint16_t>(id);
  item->index = static_cast<int>(index);
  return parse_value(words, item);
}

// A header line "KEY VALUE" (a blank or a tab between them) into its field; an empty text or
// what is wrong.
std::string parse_header(const std::string& line, NvBackup* backup) {
  const size_t blank = line.find_first_of(" \t");
  const std::string key = line.substr(0, blank);
  const std::pair<const char*, std::string*> known[] = {{"imei", &backup->imei},
                                                        {"meid", &backup->meid},
                                                        {"model", &backup->model},
                                                        {"firmware", &backup->firmware}};
  for (const auto& [name, field] : known) {
    if (key != name) continue;
    const size_t start = blank == std::string::npos ? line.size() : blank + 1;
    const std::optional<std::string> text = header_text(line.substr(start));
    if (!text) return key + " holds a control character";
    *field = *text;
    return {};
  }
  return "unknown line \"" + line.substr(0, 40) + "\"";
}

// Where a parse stands: the items seen (id and index to line) and the end line's number.
struct ParseState {
  std::map<std::pair<int, int>, int> seen;
  int end_line = 0;
};

// The end line "end COUNT": COUNT must be the number of item lines read.
std::string parse_end(const std::vector<std::string>& words, int number, const NvBackup& backup,
                      ParseState* state) {
  long count = -1;
  if (words.size() != 2 || !parse_number(words[1], 0, INT32_MAX, &count)) {
    return "the end line is: end COUNT";
  }
  if (static_cast<size_t>(count) != backup.items.size()) {
    return "the end line counts " + words[1] + " items, the file holds " +
           std::to_string(backup.items.size());
  }
  state->end_line = number;
  return {};
}

// One line after the first; an empty text or what is wrong.
std::string parse_line(const std::string& line, int number, NvBackup* backup, ParseState* state) {
  const std::vector<std::string> words = words_of(line);
  if (words.empty() || words[0][0] == '#') return {};
  if (state->end_line != 0) return "a line after the end line";
  if (words[0] == "end") return parse_end(words, number, *backup, state);
  if (words[0] != "item") return parse_header(line, backup);
  BackupItem item;
  item.line = number;
  if (std::string error = parse_item(words, &item); !error.empty()) return error;
  const auto [at, added] = state->seen.emplace(std::make_pair(item.id, item.index), number);
  if (!added)
    return "item " + words[2] + " " + words[3] + " is on line " + std::to_string(at->second) +
           " already";
  backup->items.push_back(std::move(item));
  return {};
}

}  // namespace

std::string format_backup(const NvBackup& backup) {
  std::string text = std::string(kMagic) + "\n" + kComment;
  text += "imei " + header_value(backup.imei) + "\nmeid " + header_value(backup.meid) + "\nmodel " +
          header_value(backup.model) + "\nfirmware " + header_value(backup.firmware) + "\n";
  for (const BackupItem& item : backup.items) text += item_line(item);
  return text + "end " + std::to_string(backup.items.size()) + "\n";
}

std::optional<NvBackup> parse_backup(const std::string& text, std::string* error) {
  std::istringstream in(text);
  std::string line;
  NvBackup backup;
  ParseState state;
  bool needs_end = true;
  int number = 0;
  error->clear();
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1) {
      needs_end = line == kMagic;
      if (needs_end || line == kMagicWithoutEnd) continue;
      *error = problem(1, std::string("not a kav NV backup (it starts \"") + kMagic + "\")");
      return std::nullopt;
    }
    if (std::string e = parse_line(line, number, &backup, &state); !e.empty()) {
      *error = problem(number, e);
      return std::nullopt;
    }
  }
  if (number == 0) *error = problem(1, "the file is empty");
  if (number > 0 && backup.firmware.empty()) *error = problem(number, "no firmware line");
  if (error->empty() && needs_end && state.end_line == 0) {
    *error = problem(number, "the file ends before its end line: it was cut short");
  }
  if (!error->empty()) return std::nullopt;
  return backup;
}

}  // namespace kav::tool
