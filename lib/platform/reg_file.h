// The user hive's file format: the .reg text of the Windows registry editor, parsed into a
// document that remembers every line as it was read, so that a change rewrites only the lines
// it touches and every other byte of the file stays as it stood.
//
// Format read:
//   - UTF-8 with an optional byte order mark, or UTF-16LE with its byte order mark (as the
//     Windows registry editor exports; written back in UTF-16LE), then "Windows Registry
//     Editor Version 5.00" (or the older "REGEDIT4") as the first line; an empty file is an
//     empty hive;
//   - "[HKEY_CURRENT_USER\path]" key sections; "[-...]" deletion sections and sections of other
//     roots are kept as text and are not part of the hive;
//   - value lines "name"=..., or @=... for the default value, with data "text" (REG_SZ, escapes
//     \\ and \"), dword:XXXXXXXX (REG_DWORD), hex:bytes (REG_BINARY) or hex(N):bytes (type N,
//     hexadecimal), hex lists continued over lines that end in '\'; a "name"=- line (value
//     deletion) is kept as text;
//   - blank lines and ';' comments anywhere.
// Anything else makes the file unparseable; the parser then names the line and the fault.
//
// Threading: RegDocument is a plain value, used by one thread at a time. RegFileHive is safe
// from any thread; its file lock also orders writers of other processes.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lib/platform/registry.h"

namespace kav::platform {

class RegDocument {
 public:
  // Parses `text`. On failure returns false and sets `problem` to "line N: what".
  bool parse(const std::string& text, std::string* problem);

  // The file text: every line read, as read, with the changes made since.
  std::string render() const;

  // True when the key at `path` exists: a section names it or a key below it.
  bool has_key(const std::string& path) const;

  // The value `name` ("" for the default value) of the key at `path`, the last one when the
  // file repeats it.
  std::optional<RegValue> value(const std::string& path, const std::string& name) const;

  // Adds a section for the key at `path` when has_key() is false. True when it added one.
  bool add_key(const std::string& path);

  // Stores `value` as dword:XXXXXXXX under `name`, replacing the line of the value when it
  // exists (whatever its type) and adding the key when missing. True when the text changed.
  bool set_dword(const std::string& path, const std::string& name, uint32_t value);

 private:
  // One value line (or several, for a continued hex list) of a section.
  struct Entry {
    std::string raw;  // the lines as read, terminators included
    bool is_value = false;
    bool blank_or_comment = false;
    std::string name;  // value name as written, unescaped ("" for @)
    RegValue data;
  };
  struct Section {
    std::string header;  // the "[...]" line as read, terminator included
    bool in_hive = false;
    std::string path;  // the key path below HKEY_CURRENT_USER, for sections in the hive
    std::vector<Entry> entries;
  };

  bool parse_line(const std::vector<std::string>& lines, size_t* index, std::string* error);
  std::string newline() const;
  void end_with_newline();
  const Entry* find_value(const std::string& path, const std::string& name) const;
  Section& append_section(const std::string& path);

  bool bom_ = false;         // the file begins with a UTF-8 byte order mark
  bool utf16_ = false;       // the file is UTF-16LE with its byte order mark (kept as UTF-8)
  bool has_header_ = false;  // false for an empty (or blank) file
  std::string preamble_;     // header line and anything before the first section
  std::vector<Section> sections_;
  bool crlf_ = false;  // the file's first line ends in "\r\n"
};

// The largest settings file read; a larger one is refused (kErrorFileTooLarge), as is anything
// that is not a regular file (kErrorNotRegularFile).
constexpr size_t kMaxSettingsFileBytes = 32u << 20;

// The user hive kept in a .reg file. The file is read anew by every call; writes rewrite it
// atomically under an advisory lock on "<file>.lock", keeping its owner, group and mode. When
// the file is a symbolic link, its target is rewritten and the link stays; such a link is
// followed only when it and its target's directory belong to the caller or root, and only to
// an existing file (trusted_link_target).
class RegFileHive : public RegistryHive {
 public:
  // `file` empty: the file is user_hive_file(), looked up again on every call.
  explicit RegFileHive(std::string file = {});

  int open_key(const std::string& path, bool create) override;
  int query_value(const std::string& path, const std::string& name, RegValue* out) override;
  int set_dword(const std::string& path, const std::string& name, uint32_t value) override;
  int set_dwords(const std::string& path,
                 const std::vector<std::pair<std::string, uint32_t>>& values) override;
  std::string location() const override;
  std::string problem() const override;

 private:
  // Reads and parses the file into `doc`: 0, kErrorBadHiveFile (problem_ set) or an errno.
  // A missing file is an empty document.
  int load(const std::string& file, RegDocument* doc);
  // Under the file lock: loads, applies `change`, and rewrites the file when it changed.
  template <typename Change>
  int modify(Change change);

  const std::string fixed_file_;
  mutable std::mutex mutex_;
  std::string problem_;
};

}  // namespace kav::platform
