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
size_t scan_digest(const std::string& text, platform::Md5Digest* stored, int* count) {
  size_t pos = 0;
  *count = 0;
  for (uint8_t& byte : *stored) {
    int64_t value = 0;
    if (!scan_number(text, &pos, 3, &value)) break;
    if (pos >= text.size() || text[pos] != ',') break;
    ++pos;
    byte = static_cast<uint8_t>(value & 0xFF);
    ++*count;
  }
  return pos;
}

// Where parse problems go: the first one ends a strict parse; a diagnostic parse (with `all`)
// collects every one and reads on wherever the rest of the file still makes sense.
struct Problems {
  std::vector<NviDbProblem>* all = nullptr;
  std::string first;

  // Records a problem; true when parsing goes on.
  [[gnu::format(printf, 3, 4)]] bool add(int line, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (first.empty()) first = "line " + std::to_string(line) + ": " + text;
    if (all != nullptr) all->push_back({line, text});
    return all != nullptr;
  }
  bool failed() const { return !first.empty(); }
};

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

// A parse in progress: where problems go and, for a diagnostic parse, the line of each item.
struct Parse {
  LineReader lines;
  NvItemDatabase* db;
  Problems problems;
  std::vector<int>* item_lines = nullptr;

  // A diagnostic parse also names what loads but no modem can use.
  bool diagnostic() const { return problems.all != nullptr; }
};

// False when the counts cannot be had: nothing after them can be read then.
bool parse_counts(Parse* p, Counts* counts) {
  LineReader* lines = &p->lines;
  std::string_view line;
  if (!lines->next(&line)) {
    p->problems.add(lines->number(), "the counts line is missing");
    return false;
  }
  std::string fields(line);
  if (fields.empty() || fields.back() != ',') fields += ',';  // the last count has no comma
  std::string_view rest(fields);
  int32_t* targets[] = {&counts->firmware, &counts->id_maps, &counts->size_maps, &counts->items};
  for (int32_t* target : targets) {
    if (!take_number(&rest, 0, std::numeric_limits<int32_t>::max(), target)) {
      p->problems.add(lines->number(), "the counts line \"%.80s\" is not four counts of 0 or more",
                      std::string(line).c_str());
      return false;
    }
  }
  if (!rest.empty()) {
    p->problems.add(lines->number(), "the counts line has more than four counts");
    return false;
  }
  // An entry takes at least six characters of the file ("a,0,0,"), an item line three ("a,"
  // and its line end) and every map value two ("0,"), so counts beyond that would read past
  // the end of the file; refusing them bounds what is allocated. Maps without items hold no
  // values and cost nothing (no columns are kept for them).
  const int64_t room = static_cast<int64_t>(lines->remaining());
  const int64_t maps = int64_t{counts->id_maps} + counts->size_maps;
  if (counts->items > room / 3 || counts->firmware > room / 6 || maps * counts->items > room / 2) {
    p->problems.add(lines->number(), "the counts %d,%d,%d,%d are more than the file can hold",
                    counts->firmware, counts->id_maps, counts->size_maps, counts->items);
    return false;
  }
  return true;
}

// A name or firmware text: 1 to 255 characters, none of them a control character (a NUL would
// cut the name short wherever it is used as C text; a line end would start a line in output).
bool good_text(std::string_view text) {
  return !text.empty() && text.size() <= kMaxNviDbText &&
         std::none_of(text.begin(), text.end(), [](char c) {
           const auto u = static_cast<unsigned char>(c);
           return u < 0x20 || u == 0x7f;
         });
}

// One entry off the front of `line`; false (reported) when it does not read.
bool parse_firmware_entry(Parse* p, const Counts& counts, std::string_view* line) {
  const int entry = static_cast<int>(p->db->firmware_entries.size()) + 1;
  const int number = p->lines.number();
  if (entry > counts.firmware) {
    p->problems.add(number, "more firmware entries than the %d counted", counts.firmware);
    return false;
  }
  std::string_view text;
  NvFirmwareEntry parsed;
  if (!take_field(line, &text) || !good_text(text)) {
    p->problems.add(
        number,
        "firmware entry %d: text empty, unterminated, longer than %zu characters or holding a "
        "control character",
        entry, kMaxNviDbText);
    return false;
  }
  parsed.firmware = std::string(text);
  if (!take_number(line, -1, counts.id_maps - 1, &parsed.id_map) ||
      !take_number(line, -1, counts.size_maps - 1, &parsed.array_size_map)) {
    p->problems.add(number, "firmware entry %d (%s): map index missing or out of range", entry,
                    parsed.firmware.c_str());
    return false;
  }
  p->db->firmware_entries.push_back(std::move(parsed));
  return true;
}

// False when parsing stops. A diagnostic parse reads the items after a bad entries line.
bool parse_firmware_line(Parse* p, const Counts& counts) {
  std::string_view line;
  if (!p->lines.next(&line)) line = {};  // a file may end right after an empty entries line
  while (!line.empty()) {
    if (!parse_firmware_entry(p, counts, &line)) return p->problems.all != nullptr;
  }
  if (static_cast<int32_t>(p->db->firmware_entries.size()) != counts.firmware) {
    return p->problems.add(p->lines.number(), "%zu firmware entries where %d are counted",
                           p->db->firmware_entries.size(), counts.firmware);
  }
  return true;
}

// One item line, added to the database only when it reads whole. False (reported) otherwise.
bool parse_item_line(Parse* p, std::string_view line, int line_number) {
  NvItemDatabase* db = p->db;
  std::string_view name;
  if (!take_field(&line, &name) || !good_text(name)) {
    p->problems.add(line_number,
                    "item name empty, unterminated, longer than %zu characters or holding a "
                    "control character",
                    kMaxNviDbText);
    return false;
  }
  const std::string item(name);
  std::vector<int32_t> ids(db->id_maps.size());
  std::vector<int32_t> sizes(db->array_size_maps.size());
  constexpr int32_t kLowest = std::numeric_limits<int32_t>::min();
  constexpr int32_t kHighest = std::numeric_limits<int32_t>::max();
  for (size_t m = 0; m < ids.size(); ++m) {
    if (!take_number(&line, kLowest, kHighest, &ids[m])) {
      p->problems.add(line_number, "item %.255s: id %zu missing or not a number", item.c_str(), m);
      return false;
    }
    // Loaded as it is; a request carries only its low 16 bits.
    if (p->diagnostic() && (ids[m] < -1 || ids[m] > kMaxNvItemId)) {
      p->problems.add(line_number, "item %.255s: id %d in map %zu is not in -1..%d", item.c_str(),
                      ids[m], m, kMaxNvItemId);
    }
  }
  for (size_t m = 0; m < sizes.size(); ++m) {
    if (!take_number(&line, kLowest, kHighest, &sizes[m])) {
      p->problems.add(line_number, "item %.255s: array size %zu missing or not a number",
                      item.c_str(), m);
      return false;
    }
    // Loaded as it is: below 2 the item is read as a plain one.
    if (p->diagnostic() && sizes[m] < -1) {
      p->problems.add(line_number, "item %.255s: array size %d in map %zu is below -1",
                      item.c_str(), sizes[m], m);
    }
  }
  if (!line.empty()) {
    p->problems.add(line_number, "item %.255s: more fields than the maps counted", item.c_str());
    return false;
  }
  db->item_names.push_back(item);
  for (size_t m = 0; m < ids.size(); ++m) db->id_maps[m].push_back(ids[m]);
  for (size_t m = 0; m < sizes.size(); ++m) db->array_size_maps[m].push_back(sizes[m]);
  if (p->item_lines != nullptr) p->item_lines->push_back(line_number);
  return true;
}

void reserve_items(const Counts& counts, NvItemDatabase* db) {
  db->id_map_count = static_cast<size_t>(counts.id_maps);
  db->array_size_map_count = static_cast<size_t>(counts.size_maps);
  if (counts.items == 0) return;  // no values: no columns
  db->id_maps.assign(static_cast<size_t>(counts.id_maps), {});
  db->array_size_maps.assign(static_cast<size_t>(counts.size_maps), {});
  // The counts are bounded by the file's size; the names are reserved only up to a modest
  // number, as each costs far more memory than its line.
  for (auto& column : db->id_maps) column.reserve(static_cast<size_t>(counts.items));
  for (auto& column : db->array_size_maps) column.reserve(static_cast<size_t>(counts.items));
  db->item_names.reserve(std::min<size_t>(static_cast<size_t>(counts.items), 1u << 16));
}

void parse_items(Parse* p, const Counts& counts) {
  reserve_items(counts, p->db);
  std::string_view line;
  for (int32_t i = 0; i < counts.items; ++i) {
    if (!p->lines.next(&line)) {
      p->problems.add(p->lines.number(), "the file ends after %d of the %d items counted", i,
                      counts.items);
      return;
    }
    if (!parse_item_line(p, line, p->lines.number()) && p->problems.all == nullptr) return;
  }
  // Lines after the counted items are never read by the load; the check names them.
  while (p->diagnostic() && p->lines.next(&line)) {
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
      p->problems.add(p->lines.number(), "more item lines than the %d counted", counts.items);
      return;
    }
  }
}

void parse_body(Parse* p) {
  Counts counts;
  if (parse_counts(p, &counts) && parse_firmware_line(p, counts)) parse_items(p, counts);
}

// Item lines out of name order (bytes compared as unsigned values, as look-ups bisect).
void check_sort_order(const NvItemDatabase& db, const std::vector<int>& lines, Problems* out) {
  for (size_t i = 1; i < db.item_names.size(); ++i) {
    if (db.item_names[i - 1] < db.item_names[i]) continue;
    out->add(lines[i], "item %.255s is not after %.255s (line %d): names must ascend",
             db.item_names[i].c_str(), db.item_names[i - 1].c_str(), lines[i - 1]);
  }
}

// An id other than -1 given twice within one id map.
void check_duplicate_ids(const NvItemDatabase& db, const std::vector<int>& lines, Problems* out) {
  for_each_duplicate_id(db, [&](size_t map, size_t item, size_t first) {
    out->add(lines[item], "item %.255s: id %d in map %zu is also that of line %d",
             db.item_names[item].c_str(), db.id_maps[map][item], map, lines[first]);
    return true;
  });
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
  append_field(&body, static_cast<int64_t>(id_map_total(db)));
  append_field(&body, static_cast<int64_t>(array_size_map_total(db)));
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
  const size_t version_start = skip_space(text, scan_digest(text, &stored, &header.digest_numbers));
  const size_t tag_length = std::strlen(kVersionTag);
  if (text.compare(version_start, tag_length, kVersionTag) != 0) return header;
  size_t pos = version_start + tag_length;
  int64_t version = 0;
  if (!scan_number(text, &pos, 0, &version)) return header;
  header.version_found = true;
  header.version = static_cast<int>(std::clamp<int64_t>(version, -1, 1 << 30));
  header.body = skip_space(text, pos);
  header.version_line = version_start;
  header.computed = platform::md5_digest(text.data() + version_start, text.size() - version_start);
  header.digest_matches = header.computed == stored;
  return header;
}

std::string parse_nvi_db_body(const std::string& text, size_t body, NvItemDatabase* db) {
  *db = NvItemDatabase{};
  Parse parse{LineReader(text, std::min(body, text.size())), db, {}};
  parse_body(&parse);
  return parse.problems.first;
}

std::vector<NviDbProblem> check_nvi_db(const std::string& text, NvItemDatabase* db) {
  std::vector<NviDbProblem> all;
  *db = NvItemDatabase{};
  const NviDbHeader header = read_nvi_db_header(text);
  Problems header_problems{&all, {}};
  if (header.digest_numbers != 16) {
    header_problems.add(1, "the digest line holds %d of the 16 \"%%3d,\" numbers",
                        header.digest_numbers);
  }
  if (!header.version_found) {
    header_problems.add(2, "no \"NVI_DB_VERSION: <number>\" line");
    return all;
  }
  if (header.version != kNviDbVersion) {
    header_problems.add(2, "version %d; only version %d is read", header.version, kNviDbVersion);
  }
  if (header.digest_numbers == 16 && !header.digest_matches) {
    header_problems.add(1, "the digest does not match lines 2 to the end");
  }
  std::vector<int> item_lines;
  Parse parse{LineReader(text, header.body), db, {&all, {}}, &item_lines};
  parse_body(&parse);
  Problems order{&all, {}};
  check_sort_order(*db, item_lines, &order);
  check_duplicate_ids(*db, item_lines, &order);
  std::stable_sort(all.begin(), all.end(),
                   [](const NviDbProblem& a, const NviDbProblem& b) { return a.line < b.line; });
  return all;
}

const NvFirmwareEntry* find_firmware_entry(const NvItemDatabase& db, std::string_view firmware) {
  for (const NvFirmwareEntry& entry : db.firmware_entries) {
    if (entry.firmware == firmware) return &entry;
  }
  return nullptr;
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
