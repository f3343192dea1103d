// Files, directories and the environment of the platform: the root of the device view, the
// module directory, directory creation, full paths, existence checks, wildcard search and
// opening files.
//
// Paths use '/' as separator. Threading: every function may be called from any thread;
// failures set the calling thread's last error (lib/platform/error.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kav::platform {

// Windows' MAX_PATH, the bound the library keeps for file names.
constexpr size_t kMaxPath = 260;

// The value of an environment variable, or `fallback` when unset or empty.
std::string env_or(const char* name, const std::string& fallback);

// The directory under which sys/ and dev/ are looked for (UMTS_KAV_ROOT, default "/"), always
// ending in '/'.
std::string root_dir();

// `relative` (no leading '/') below root_dir().
std::string root_path(const std::string& relative);

// The full file name of the module: the running executable, or a file in UMTS_KAV_MODULE_DIR
// when that is set. None when it cannot be determined.
//
// A program run from the directory it was installed into (the build's install bindir, such as
// /usr/bin) is shared by every user of the machine and must not keep files beside itself, even
// when run by root: its module file then lies in the per-user data directory,
// <user_data_directory()>/umts_kav_lib/<program name>.
std::optional<std::string> module_file_name();

// The rule above for an executable `exe` (full path), the UMTS_KAV_MODULE_DIR value `module_dir`
// (empty when unset) and the install bindir `installed_bindir` (empty: none).
std::string module_file_for(const std::string& exe, const std::string& module_dir,
                            const std::string& installed_bindir);

// Creates one directory (mode 0755). False on failure, with the last error set.
bool make_directory(const std::string& path);

// True when `path` exists (access mode 0).
bool path_exists(const std::string& path);

// `path` made absolute against the current directory and lexically normalised ("." and ".."
// resolved, repeated separators folded); it need not exist. None when the current directory
// cannot be read or the result would not fit in `max_length` characters.
std::optional<std::string> full_path(const std::string& path, size_t max_length = kMaxPath);

// The names (without directory) of the entries of a directory that match the wildcard in the
// last component of `pattern` ('*' any run, '?' one character). Returns 0 with at least one
// name, or an error code: ENOENT when nothing matches or the directory does not exist.
int find_files(const std::string& pattern, std::vector<std::string>* names);

// The home directory: $HOME, else the password database's entry of the user, else "/".
std::string home_directory();

// The per-user data directory: $XDG_DATA_HOME when it is an absolute path, else
// <home>/.local/share. No trailing '/'.
std::string user_data_directory();

// The directory part of `file` ("." without one, "/" for a file in the root).
std::string parent_directory(const std::string& file);

// Creates `dir` and its missing parents (mode 0755). Returns 0 or an errno value.
int make_directories(const std::string& dir);

// 0 when `file` (links followed) is a regular file of at most `max_bytes`; else ENOENT or
// another errno value, kErrorNotRegularFile (a FIFO, a device, a directory, a socket) or
// kErrorFileTooLarge. Looks at the file without opening it.
int check_regular_file(const std::string& file, size_t max_bytes);

// Reads the whole regular file into `text`. Returns 0 or an error code: an errno value (ENOENT
// for a missing file), kErrorNotRegularFile for a FIFO, a device, a directory or a socket
// (refused without blocking and without reading from it), or kErrorFileTooLarge when it holds
// more than `max_bytes`.
int read_whole_file(const std::string& file, std::string* text, size_t max_bytes = SIZE_MAX);

// Replaces `file` by `text` atomically: a temporary file is created beside it (exclusively, so
// a planted file or link is never followed), written, flushed to disk and renamed over `file`.
// A reader or a crash sees the old or the new contents whole. A regular file being replaced
// keeps its mode and, where allowed, its owner and group; a new file gets mode 0666 less the
// process's umask, as an editor would create it.
// Returns 0 or an errno value (the temporary file is removed on failure). `temp_created`, when
// given, tells whether the temporary file could be created at all.
int replace_file(const std::string& file, const std::string& text, bool* temp_created = nullptr);

// Creates `file` with `text`, whole or not at all: written as replace_file() writes, then moved
// to the name only when the name is free (EEXIST otherwise, a planted link included, which is
// never followed). A crash leaves no partial file under the name. Returns 0 or an errno value.
int create_file_whole(const std::string& file, const std::string& text);

// The name of the temporary file that replace_file() creates for `file` has this form:
// "<dir>/.<name of file>.kav-tmp-XXXXXX", XXXXXX being six characters chosen at random; the
// marker keeps clean-up off files of the user's that look alike (".user.reg.backup").
std::string temporary_file_pattern(const std::string& file);

// Removes the temporary files of replace_file() for `file` that are plain files last changed
// at least `min_age_seconds` ago: those of writers that died before their rename. Callers hold
// a lock that every writer of `file` holds from creating its temporary file to renaming it.
void remove_stale_temporaries(const std::string& file, int min_age_seconds = 60);

// The process's file mode creation mask.
unsigned process_umask();

// `path` with symbolic links in its last component followed to the file they finally name
// (which need not exist; a relative link is taken from the link's directory). `path` itself when
// it is no link; none, with the last error set (ELOOP), for a chain of more than 40 links.
std::optional<std::string> final_link_target(const std::string& path);

// final_link_target() for a file that is about to be written: links are followed only when
// each one, and the directory its target lies in, belong to the caller or to root (the
// kernel's protected_symlinks rule, carried over to where the link leads), and a missing
// file is never reached through a link, so that nothing is created where another user
// points. 0 with the file in `target` (`path` itself when it is no link, existing or not);
// else EPERM for a link or target directory of another user, ENOENT for a link to a missing
// file, ELOOP for a chain of more than 40 links.
int trusted_link_target(const std::string& path, std::string* target);

// Whether files may be made in the directory `dir` without another user choosing where they
// go: 0 when `dir` is a directory of the caller or root, or does not exist yet (a link on the
// way to it belongs to the caller or root, and the rest is made by the caller); ELOOP when
// `dir` itself is a symbolic link; EPERM when it, or a link on the way, belongs to another user.
int check_own_directory(const std::string& dir);

// Which file `path` names (device and inode, links not followed); none when it does not exist.
// Two reads of one name give equal values only while the name still holds the same file.
std::optional<std::pair<uint64_t, uint64_t>> file_identity(const std::string& path);

// How long ago the entry `path` (links not followed) was made or last had its owner or mode
// changed (its status-change time), in ms; none when it does not exist. A device node's
// status changes at its creation and when udev sets its permissions, not with traffic.
std::optional<uint64_t> entry_age_ms(const std::string& path);

// An exclusive advisory lock on the directory `dir` (flock), held for the object's lifetime,
// waiting for other holders. Orders processes that check and replace files in that directory.
// A directory that cannot be opened gives no lock (locked() false); callers go on unlocked.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& dir);
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

// rename(2) and unlink(2): false on failure, with the last error set.
bool rename_path(const std::string& from, const std::string& to);
bool remove_path(const std::string& path);

// True when the calling process may write `path` (access W_OK); else false with the last error
// set (EACCES, EROFS, ENOENT, ...).
bool path_writable(const std::string& path);

// True when replace_file() can give the new `file` the owner and group of the one it replaces:
// no file there yet, the caller is root, or the file is the caller's, of a group the caller is
// in. Otherwise a replaced file would become the caller's.
bool replace_keeps_owner(const std::string& file);

// True when `path` exists but the calling process is refused writing it (permissions, a
// read-only file system); false when it may write it or it does not exist.
bool write_permission_denied(const std::string& path);

// fopen, with the last error set on failure.
std::FILE* open_file(const std::string& path, const char* mode);

// Creates `path` as a new file and opens it with the fopen `mode` ("w", "a", with or without
// '+'), mode 0666 less the umask. An existing name, a planted link among them, is never opened
// or followed (O_CREAT | O_EXCL | O_NOFOLLOW): that fails with EEXIST. None on failure, with
// the last error set.
std::FILE* create_new_file(const std::string& path, const char* mode);

// True when `error` says that a name is taken already.
bool is_name_taken(int error);

// True when `error` may go away by itself, so that trying again can help (a busy or locked
// file, an interrupted call, an I/O error of a flaky medium); false for errors that stay until
// someone acts (no such file, no permission, not a regular file, a name too long, ...).
bool is_transient_error(int error);

// True when `error` says the disk (or the user's quota) is full.
bool is_disk_full(int error);

}  // namespace kav::platform
