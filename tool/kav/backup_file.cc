#include "tool/kav/backup_file.h"

#include <map>
#include <sstream>
#include <utility>

#include "tool/kav/cli.h"
#include "tool/kav/hex.h"

namespace kav::tool {
namespace {

constexpr char kMagic[] = "kav-nv-backup 1";
constexpr char kComment[] =
    "# NV items of one modem, saved by kav nv backup. Item lines: item NAME ID INDEX VALUE\n"
    "# (NAME - when the NV item database has no name for the id, INDEX - for a plain item,\n"
    "# VALUE the data bytes in hex without trailing zero bytes, inactive or unreadable).\n";

std::string or_dash(const std::string& text) {
  return text.empty() ? "-" : text;
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

// A header line "KEY VALUE" into its field; false for an unknown key.
bool parse_header(const std::string& line, NvBackup* backup) {
  const size_t blank = line.find(' ');
  const std::string key = line.substr(0, blank);
  std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
  if (value == "-") value.clear();
  const std::pair<const char*, std::string*> known[] = {{"imei", &backup->imei},
                                                        {"meid", &backup->meid},
                                                        {"model", &backup->model},
                                                        {"firmware", &backup->firmware}};
  for (const auto& [name, field] : known) {
    if (key != name) continue;
    *field = value;
    return true;
  }
  return false;
}

// One line after the first; an empty text or what is wrong.
std::string parse_line(const std::string& line, int number, NvBackup* backup,
                       std::map<std::pair<int, int>, int>* seen) {
  const std::vector<std::string> words = words_of(line);
  if (words.empty() || words[0][0] == '#') return {};
  if (words[0] != "item") {
    return parse_header(line, backup) ? "" : "unknown line \"" + line.substr(0, 40) + "\"";
  }
  BackupItem item;
  item.line = number;
  if (std::string error = parse_item(words, &item); !error.empty()) return error;
  const auto [at, added] = seen->emplace(std::make_pair(item.id, item.index), number);
  if (!added)
    return "item " + words[2] + " " + words[3] + " is on line " + std::to_string(at->second) +
           " already";
  backup->items.push_back(std::move(item));
  return {};
}

}  // namespace

std::string format_backup(const NvBackup& backup) {
  std::string text = std::string(kMagic) + "\n" + kComment;
  text += "imei " + or_dash(backup.imei) + "\nmeid " + or_dash(backup.meid) + "\nmodel " +
          or_dash(backup.model) + "\nfirmware " + or_dash(backup.firmware) + "\n";
  for (const BackupItem& item : backup.items) text += item_line(item);
  return text;
}

std::optional<NvBackup> parse_backup(const std::string& text, std::string* error) {
  std::istringstream in(text);
  std::string line;
  NvBackup backup;
  std::map<std::pair<int, int>, int> seen;
  int number = 0;
  error->clear();
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1) {
      if (line == kMagic) continue;
      *error = problem(1, std::string("not a kav NV backup (it starts \"") + kMagic + "\")");
      return std::nullopt;
    }
    if (std::string e = parse_line(line, number, &backup, &seen); !e.empty()) {
      *error = problem(number, e);
      return std::nullopt;
    }
  }
  if (number == 0) *error = problem(1, "the file is empty");
  if (number > 0 && backup.firmware.empty()) *error = problem(number, "no firmware line");
  if (!error->empty()) return std::nullopt;
  return backup;
}

}  // namespace kav::tool
