#include "lib/nv/nv_db_format.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kav {

namespace {

constexpr const char* kVersionTag = "NVI_DB_VERSION:";

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

size_t skip_space(const std::string& text, size_t pos) {
  while (pos < text.size() && is_space(text[pos])) ++pos;
  return pos;
}

// Reads a number as scanf's "%<width>d" does: white space, an optional sign and digits, at most
// `width` characters after the white space (0: no limit). Large values saturate. False without
// a digit.
bool scan_number(const std::string& text, size_t* pos, size_t width, int64_t* value) {
  size_t p = skip_space(text, *pos);
  const size_t limit = width ? std::min(text.size(), p + width) : text.size();
  bool negative = false;
  if (p < limit && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  const size_t first_digit = p;
  int64_t v = 0;
  for (; p < limit && is_digit(text[p]); ++p) {
    if (v < (int64_t{1} << 40)) v = v * 10 + (text[p] - '0');
  }
  *pos = p;
  if (p == first_digit) return false;
  *value = negative ? -v : v;
  return true;
}

// Sixteen "%3d," numbers from the start of the text; stops at the first that does not read, as
// scanf would, leaving the rest of the stored digest zero. Returns where reading stopped.
size_t scan_digest(const std::string& text, platform::Md5Digest* stored) {
  size_t pos = 0;
  for (uint8_t& byte : *stored) {
    int64_t value = 0;
    if (!scan_number(text, &pos, 3, &value)) break;
    if (pos >= text.size() || text[pos] != ',') break;
    ++pos;
    byte = static_cast<uint8_t>(value & 0xFF);
  }
  return pos;
}

[[gnu::format(printf, 2, 3)]] std::string problem(int line, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return "line " + std::to_string(line) + ": " + text;
}

// Splits a text into lines at LF, counting line numbers.
class LineReader {
 public:
  LineReader(const std::string& text, size_t pos)
      : text_(text),
        pos_(pos),
        number_(1 + static_cast<int>(std::count(text.begin(), text.begin() + pos, '\n'))) {}

  // The next line without its line end and trailing blanks; false at the end of the text.
  bool next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    if (started_) ++number_;
    started_ = true;
    size_t end = text_.find('\n', pos_);
    if (end == std::string::npos) end = text_.size();
    size_t last = end;
    while (last > pos_ &&
           (text_[last - 1] == ' ' || text_[last - 1] == '\t' || text_[last - 1] == '\r')) {
      --last;
    }
    *line = std::string_view(text_).substr(pos_, last - pos_);
    pos_ = end + 1;
    return true;
  }
  int number() const { return number_; }
  size_t remaining() const { return pos_ < text_.size() ? text_.size() - pos_ : 0; }

 private:
  const std::string& text_;
  size_t pos_;
  int number_;
  bool started_ = false;
};

// Takes the field before the next comma off the front of `line`. False without a comma.
bool take_field(std::string_view* line, std::string_view* field) {
  const size_t comma = line->find(',');
  if (comma == std::string_view::npos) return false;
  *field = line->substr(0, comma);
  line->remove_prefix(comma + 1);
  return true;
}

// A whole field as a signed 32-bit number (leading blanks and a '+' allowed).
bool to_int32(std::string_view field, int32_t* value) {
  while (!field.empty() && (field.front() == ' ' || field.front() == '\t')) field.remove_prefix(1);
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return false;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), *value);
  return error == std::errc() && end == field.data() + field.size();
}

// One comma-terminated number field in [low, high].
bool take_number(std::string_view* line, int32_t low, int32_t high, int32_t* value) {
  std::string_view field;
  return take_field(line, &field) && to_int32(field, value) && *value >= low && *value <= high;
}

struct Counts {
  int32_t firmware = 0;
  int32_t id_maps = 0;
  int32_t size_maps = 0;
  int32_t items = 0;
};

std::string parse_counts(LineReader* lines, Counts* counts) {
  std::string_view line;
  if (!lines->next(&line)) return problem(lines->number(), "the counts line is missing");
  std::string fields(line);
  if (fields.empty() || fields.back() != ',') fields += ',';  // the last count has no comma
  std::string_view rest(fields);
  int32_t* targets[] = {&counts->firmware, &counts->id_maps, &counts->size_maps, &counts->items};
  for (int32_t* target : targets) {
    if (!take_number(&rest, 0, std::numeric_limits<int32_t>::max(), target)) {
      return problem(lines->number(), "the counts line \"%.80s\" is not four counts of 0 or more",
                     std::string(line).c_str());
    }
  }
  if (!rest.empty()) return problem(lines->number(), "the counts line has more than four counts");
  // An entry takes at least six characters of the file ("a,0,0,"), an item line three ("a,"
  // and its line end) and every map value two ("0,"), so counts beyond that are impossible;
  // refusing them bounds what is allocated.
  const int64_t room = static_cast<int64_t>(lines->remaining());
  const int64_t maps = int64_t{counts->id_maps} + counts->size_maps;
  if (maps > room || counts->items > room / 3 || counts->firmware > room / 6 ||
      maps * counts->items > room / 2) {
    return problem(lines->number(), "the counts %d,%d,%d,%d are more than the file can hold",
                   counts->firmware, counts->id_maps, counts->size_maps, counts->items);
  }
  return {};
}

// A name or firmware text: 1 to 255 characters.
bool good_text(std::string_view text) {
  return !text.empty() && text.size() <= kMaxNviDbText;
}

std::string parse_firmware_line(LineReader* lines, const Counts& counts, NvItemDatabase* db) {
  std::string_view line;
  if (!lines->next(&line)) line = {};  // a file may end right after an empty entries line
  while (!line.empty()) {
    const int entry = static_cast<int>(db->firmware_entries.size()) + 1;
    if (entry > counts.firmware) {
      return problem(lines->number(), "more firmware entries than the %d counted", counts.firmware);
    }
    std::string_view text;
    NvFirmwareEntry parsed;
    if (!take_field(&line, &text) || !good_text(text)) {
      return problem(lines->number(),
                     "firmware entry %d: text empty, unterminated or longer "
                     "than %zu characters",
                     entry, kMaxNviDbText);
    }
    parsed.firmware = std::string(text);
    if (!take_number(&line, -1, counts.id_maps - 1, &parsed.id_map) ||
        !take_number(&line, -1, counts.size_maps - 1, &parsed.array_size_map)) {
      return problem(lines->number(), "firmware entry %d (%s): map index missing or out of range",
                     entry, parsed.firmware.c_str());
    }
    db->firmware_entries.push_back(std::move(parsed));
  }
  if (static_cast<int32_t>(db->firmware_entries.size()) != counts.firmware) {
    return problem(lines->number(), "%zu firmware entries where %d are counted",
                   db->firmware_entries.size(), counts.firmware);
  }
  return {};
}

std::string parse_item_line(std::string_view line, int line_number, NvItemDatabase* db) {
  std::string_view name;
  if (!take_field(&line, &name) || !good_text(name)) {
    return problem(line_number, "item name empty, unterminated or longer than %zu characters",
                   kMaxNviDbText);
  }
  db->item_names.emplace_back(name);
  for (size_t m = 0; m < db->id_maps.size(); ++m) {
    int32_t id = 0;
    if (!take_number(&line, -1, kMaxNvItemId, &id)) {
      return problem(line_number, "item %.255s: id %zu missing or not in -1..%d",
                     db->item_names.back().c_str(), m, kMaxNvItemId);
    }
    db->id_maps[m].push_back(id);
  }
  for (size_t m = 0; m < db->array_size_maps.size(); ++m) {
    int32_t size = 0;
    if (!take_number(&line, -1, std::numeric_limits<int32_t>::max(), &size)) {
      return problem(line_number, "item %.255s: array size %zu missing or below -1",
                     db->item_names.back().c_str(), m);
    }
    db->array_size_maps[m].push_back(size);
  }
  if (!line.empty()) {
    return problem(line_number, "item %.255s: more fields than the maps counted",
                   db->item_names.back().c_str());
  }
  return {};
}

std::string parse_items(LineReader* lines, const Counts& counts, NvItemDatabase* db) {
  db->id_maps.assign(static_cast<size_t>(counts.id_maps), {});
  db->array_size_maps.assign(static_cast<size_t>(counts.size_maps), {});
  // The counts are bounded by the file's size; the names are reserved only up to a modest
  // number, as each costs far more memory than its line.
  for (auto& column : db->id_maps) column.reserve(static_cast<size_t>(counts.items));
  for (auto& column : db->array_size_maps) column.reserve(static_cast<size_t>(counts.items));
  db->item_names.reserve(std::min<size_t>(static_cast<size_t>(counts.items), 1u << 16));
  std::string_view line;
  for (int32_t i = 0; i < counts.items; ++i) {
    if (!lines->next(&line)) {
      return problem(lines->number(), "the file ends after %d of the %d items counted", i,
                     counts.items);
    }
    if (std::string error = parse_item_line(line, lines->number(), db); !error.empty()) {
      return error;
    }
  }
  while (lines->next(&line)) {
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
      return problem(lines->number(), "more item lines than the %d counted", counts.items);
    }
  }
  return {};
}

void append_number(std::string* out, int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out->append(digits, result.ptr);
}

void append_field(std::string* out, int64_t value) {
  append_number(out, value);
  out->push_back(',');
}

// Lines 2 to the end with LF line ends, as the digest covers them.
std::string format_body(const NvItemDatabase& db) {
  std::string body = "NVI_DB_VERSION: " + std::to_string(kNviDbVersion) + "\n";
  append_field(&body, static_cast<int64_t>(db.firmware_entries.size()));
  append_field(&body, static_cast<int64_t>(db.id_maps.size()));
  append_field(&body, static_cast<int64_t>(db.array_size_maps.size()));
  append_number(&body, static_cast<int64_t>(db.item_names.size()));
  body += '\n';
  for (const NvFirmwareEntry& entry : db.firmware_entries) {
    body += entry.firmware;
    body += ',';
    append_field(&body, entry.id_map);
    append_field(&body, entry.array_size_map);
  }
  body += '\n';
  for (size_t i = 0; i < db.item_names.size(); ++i) {
    body += db.item_names[i];
    body += ',';
    for (const auto& column : db.id_maps) append_field(&body, i < column.size() ? column[i] : -1);
    for (const auto& column : db.array_size_maps) {
      append_field(&body, i < column.size() ? column[i] : -1);
    }
    body += '\n';
  }
  return body;
}

}  // namespace

std::string normalise_line_ends(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text.push_back(bytes[i]);
  }
  return text;
}

NviDbHeader read_nvi_db_header(const std::string& text) {
  NviDbHeader header;
  platform::Md5Digest stored{};
  const size_t version_start = skip_space(text, scan_digest(text, &stored));
  const size_t tag_length = std::strlen(kVersionTag);
  if (text.compare(version_start, tag_length, kVersionTag) != 0) return header;
  size_t pos = version_start + tag_length;
  int64_t version = 0;
  if (!scan_number(text, &pos, 0, &version)) return header;
  header.version_found = true;
  header.version = static_cast<int>(std::clamp<int64_t>(version, -1, 1 << 30));
  header.body = skip_space(text, pos);
  header.digest_matches =
      platform::md5_digest(text.data() + version_start, text.size() - version_start) == stored;
  return header;
}

std::string parse_nvi_db_body(const std::string& text, size_t body, NvItemDatabase* db) {
  *db = NvItemDatabase{};
  LineReader lines(text, std::min(body, text.size()));
  Counts counts;
  if (std::string error = parse_counts(&lines, &counts); !error.empty()) return error;
  if (std::string error = parse_firmware_line(&lines, counts, db); !error.empty()) return error;
  return parse_items(&lines, counts, db);
}

std::string nvi_db_digest_line(const platform::Md5Digest& digest) {
  std::string line;
  char number[8];
  for (uint8_t byte : digest) {
    std::snprintf(number, sizeof number, "%3d,", byte);
    line += number;
  }
  return line;
}

std::string format_nvi_db(const NvItemDatabase& db) {
  const std::string body = format_body(db);
  std::string file = nvi_db_digest_line(platform::md5_digest(body.data(), body.size())) + "\r\n";
  file.reserve(file.size() + body.size() + body.size() / 16);
  for (char c : body) {
    if (c == '\n') file += '\r';
    file += c;
  }
  return file;
}

}  // namespace kav
