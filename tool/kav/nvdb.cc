// kav nvdb check, sign and list: an NV item database file checked completely, signed again
// after a hand edit, and its items listed per firmware build.
#include <cstdio>
#include <string>
#include <vector>

#include "lib/nv/nv_database.h"
#include "lib/nv/nv_db_format.h"
#include "lib/nv/nv_names.h"
#include "lib/platform/digest.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "tool/kav/commands.h"

namespace kav::tool {
namespace {

// The file as the library reads it (line ends as LF); none after a failure reported.
std::optional<std::string> read_db_text(Invocation& inv, const std::string& path,
                                        std::string* raw = nullptr) {
  std::string bytes;
  if (const int error = platform::read_whole_file(path, &bytes, kMaxNviDbFileBytes); error != 0) {
    failure(inv, "cannot read %s: %s", path.c_str(), platform::system_error_text(error).c_str());
    return std::nullopt;
  }
  if (raw != nullptr) *raw = bytes;
  return normalise_line_ends(bytes);
}

std::string problem_lines(const std::string& path, const std::vector<NviDbProblem>& problems) {
  std::string text;
  for (const NviDbProblem& p : problems) {
    text += path + ":" + std::to_string(p.line) + ": " + p.text + "\n";
  }
  return text;
}

// Where line 2 (the version line) starts in the raw bytes: after the first line, or at 0 when
// the file starts with the version (no digest line yet). None when neither holds it.
std::optional<size_t> version_line_start(const std::string& raw) {
  const std::string tag = "NVI_DB_VERSION:";
  if (raw.compare(0, tag.size(), tag) == 0) return 0;
  const size_t end = raw.find('\n');
  if (end != std::string::npos && raw.compare(end + 1, tag.size(), tag) == 0) return end + 1;
  return std::nullopt;
}

// The signed file: the digest of the normalised lines 2 to the end, then those lines as they
// were (with the line end the file uses).
std::string signed_text(const std::string& raw, size_t body) {
  const std::string rest = raw.substr(body);
  const std::string normalised = normalise_line_ends(rest);
  const bool crlf = rest.find("\r\n") != std::string::npos;
  return nvi_db_digest_line(platform::md5_digest(normalised.data(), normalised.size())) +
         (crlf ? "\r\n" : "\n") + rest;
}

void add_items_json(const std::vector<NvItemInfo>& items, JsonWriter* json) {
  json->key("items").begin_array();
  for (const NvItemInfo& item : items) {
    json->begin_object()
        .member("name", item.name)
        .member("id", item.id)
        .member("array_size", item.array_size)
        .end_object();
  }
  json->end_array();
}

std::string items_text(const NvFirmwareEntry& entry, const std::vector<NvItemInfo>& items) {
  char line[400];
  std::snprintf(line, sizeof line, "%s (id map %d, array-size map %d): %zu items\n",
                entry.firmware.c_str(), entry.id_map, entry.array_size_map, items.size());
  std::string text = line;
  for (const NvItemInfo& item : items) {
    std::snprintf(line, sizeof line, "  %-40s %5d %5d\n", item.name, item.id, item.array_size);
    text += line;
  }
  return text;
}

}  // namespace

int run_nvdb_check(Invocation& inv) {
  const std::string& path = inv.args[0];
  const std::optional<std::string> text = read_db_text(inv, path);
  if (!text) return kExitFailed;
  NvItemDatabase db;
  const std::vector<NviDbProblem> problems = check_nvi_db(*text, &db);
  JsonWriter json = json_result(inv, problems.empty());
  json.member("file", path).key("problems").begin_array();
  for (const NviDbProblem& p : problems) {
    json.begin_object().member("line", p.line).member("text", p.text).end_object();
  }
  json.end_array().end_object();
  char summary[400];
  if (problems.empty()) {
    std::snprintf(summary, sizeof summary, "%s: good: %zu firmware entries, %zu items.\n",
                  path.c_str(), db.firmware_entries.size(), db.item_names.size());
  } else {
    std::snprintf(summary, sizeof summary, "%s: %zu problem%s.\n", path.c_str(), problems.size(),
                  problems.size() == 1 ? "" : "s");
  }
  const std::string lines = problem_lines(path, problems);
  print_result(inv, lines + summary, lines, json);
  return problems.empty() ? kExitOk : kExitFailed;
}

int run_nvdb_sign(Invocation& inv) {
  const std::optional<std::string> named = platform::final_link_target(inv.args[0]);
  const std::string path = named.value_or(inv.args[0]);
  std::string raw;
  if (!read_db_text(inv, path, &raw)) return kExitFailed;
  const std::optional<size_t> body = version_line_start(raw);
  if (!body) {
    return usage_error(inv, "%s: no NVI_DB_VERSION line on line 1 or 2", inv.args[0].c_str());
  }
  const std::string text = signed_text(raw, *body);
  NvItemDatabase db;
  const std::vector<NviDbProblem> problems = check_nvi_db(normalise_line_ends(text), &db);
  if (!problems.empty()) {
    std::fputs(problem_lines(inv.args[0], problems).c_str(), stderr);
    return usage_error(inv, "%s has %zu problem%s besides its digest: not signed",
                       inv.args[0].c_str(), problems.size(), problems.size() == 1 ? "" : "s");
  }
  // The file is replaced through its directory, which may be writable where the file is not:
  // a write-protected file, or one that would become the caller's, is left alone.
  if (platform::write_permission_denied(path)) {
    return failure(inv, "%s is write-protected: not signed", path.c_str());
  }
  if (!platform::replace_keeps_owner(path)) {
    return failure(inv, "%s belongs to another user and would become yours: not signed",
                   path.c_str());
  }
  if (const int error = platform::replace_file(path, text); error != 0) {
    return failure(inv, "cannot write %s: %s", path.c_str(),
                   platform::system_error_text(error).c_str());
  }
  JsonWriter json = json_result(inv, true);
  json.member("file", inv.args[0]).member("digest", text.substr(0, 64)).end_object();
  print_result(inv, "Signed " + inv.args[0] + ".\n", "", json);
  return kExitOk;
}

int run_nvdb_list(Invocation& inv) {
  const std::string& path = inv.args[0];
  const std::optional<std::string> text = read_db_text(inv, path);
  if (!text) return kExitFailed;
  NvItemDatabase db;
  const NviDbHeader header = read_nvi_db_header(*text);
  const std::string error = header.version_found ? parse_nvi_db_body(*text, header.body, &db)
                                                 : "line 2: no NVI_DB_VERSION line";
  if (!error.empty()) return usage_error(inv, "%s %s", path.c_str(), error.c_str());
  const std::string* wanted = inv.value("--firmware");
  if (wanted != nullptr && find_firmware_entry(db, *wanted) == nullptr) {
    return usage_error(inv, "%s has no firmware entry \"%s\"", path.c_str(), wanted->c_str());
  }
  std::string listing;
  JsonWriter json = json_result(inv, true);
  json.member("file", path).key("firmware").begin_array();
  for (const NvFirmwareEntry& entry : db.firmware_entries) {
    if (wanted != nullptr && entry.firmware != *wanted) continue;
    const std::vector<NvItemInfo> items = nv_items_of_firmware(db, entry.firmware);
    listing += items_text(entry, items);
    json.begin_object().member("firmware", entry.firmware).member("id_map", entry.id_map);
    json.member("array_size_map", entry.array_size_map);
    add_items_json(items, &json);
    json.end_object();
  }
  json.end_array().end_object();
  print_result(inv, listing, listing, json);
  return kExitOk;
}

}  // namespace kav::tool
