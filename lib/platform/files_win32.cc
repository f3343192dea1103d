// Files on Windows. Paths are handed out with '/' separators, which every Windows file call
// accepts, so that the code above the layer splits them the same way on both systems. Files
// are opened in binary mode: the library's files hold the same bytes on both systems.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/platform/win32.h"

namespace kav::platform {

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value && *value) ? std::string(value) : fallback;
}

// The device view of Windows is SetupAPI's, not a directory tree; the root only matters to
// programs that check a tree given through UMTS_KAV_ROOT.
std::string root_dir() {
  std::string root = win32::forward_slashes(env_or("UMTS_KAV_ROOT", ""));
  if (root.empty()) {
    char windows[MAX_PATH];
    const UINT n = GetSystemWindowsDirectoryA(windows, sizeof windows);
    root = n > 0 && n < sizeof windows ? win32::forward_slashes(std::string(windows, 3)) : "C:/";
  }
  if (root.back() != '/') root += '/';
  return root;
}

std::string root_path(const std::string& relative) {
  return root_dir() + relative;
}

namespace {

// `mode` with 'b' added when it has none.
std::string binary_mode(const char* mode) {
  std::string m = mode;
  if (m.find('b') == std::string::npos) m += 'b';
  return m;
}

}  // namespace

std::optional<std::string> module_file_name() {
  const std::string dir = win32::forward_slashes(env_or("UMTS_KAV_MODULE_DIR", ""));
  char file[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(win32::this_module(), file, sizeof file);
  if (n == 0 || n >= sizeof file) {
    if (n == 0) {
      win32::capture_last_error();
    } else {
      set_last_error(ENAMETOOLONG);
    }
    if (dir.empty()) return std::nullopt;
    return module_file_for("umts_kav_lib", dir, "");
  }
  // A Windows program lives where its user put it: there is no shared install directory to
  // keep files out of.
  return module_file_for(win32::forward_slashes(std::string(file, n)), dir, "");
}

bool make_directory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  win32::capture_last_error();
  return false;
}

bool path_exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> full_path(const std::string& path, size_t max_length) {
  char buffer[4096];
  const DWORD n =
      GetFullPathNameA(path.empty() ? "." : path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0) {
    win32::capture_last_error();
    return std::nullopt;
  }
  if (n >= sizeof buffer || n >= max_length) {
    set_last_error(ENAMETOOLONG);
    return std::nullopt;
  }
  return win32::forward_slashes(std::string(buffer, n));
}

int find_files(const std::string& pattern, std::vector<std::string>* names) {
  names->clear();
  WIN32_FIND_DATAA entry;
  HANDLE found = FindFirstFileA(pattern.c_str(), &entry);
  if (found != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileA(found, &entry));
    FindClose(found);
  }
  if (names->empty()) {
    set_last_error(ENOENT);
    return ENOENT;
  }
  return 0;
}

std::string home_directory() {
  std::string home = env_or("USERPROFILE", "");
  if (home.empty()) home = env_or("HOME", "C:/");
  return win32::forward_slashes(home);
}

std::string user_data_directory() {
  const std::string data = env_or("LOCALAPPDATA", "");
  if (!data.empty()) return win32::forward_slashes(data);
  return home_directory() + "/AppData/Local";
}

std::string parent_directory(const std::string& file) {
  const size_t slash = file.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  if (slash == 2 && file[1] == ':') return file.substr(0, 3);  // "C:/"
  return file.substr(0, slash);
}

int make_directories(const std::string& dir) {
  for (size_t slash = dir.find_first_of("/\\", 1);; slash = dir.find_first_of("/\\", slash + 1)) {
    const std::string prefix = dir.substr(0, slash);
    const bool drive = prefix.size() == 2 && prefix[1] == ':';
    if (!prefix.empty() && !drive && !CreateDirectoryA(prefix.c_str(), nullptr)) {
      const DWORD error = GetLastError();
      if (error != ERROR_ALREADY_EXISTS) return win32::error_of(error);
    }
    if (slash == std::string::npos) return 0;
  }
}

namespace {

// 0 when the attributes describe a regular file of at most `max_bytes`.
int check_regular(const WIN32_FILE_ATTRIBUTE_DATA& data, size_t max_bytes) {
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    return kErrorNotRegularFile;
  }
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (size > max_bytes) return kErrorFileTooLarge;
  return 0;
}

// Paths that name devices rather than files: "\\.\COM7", "COM1", "NUL", "\\?\usb#...".
bool names_a_device(const std::string& file) {
  if (file.rfind("\\\\.\\", 0) == 0 || file.rfind("//./", 0) == 0) return true;
  if (file.rfind("\\\\?\\", 0) == 0 && file.find('#') != std::string::npos) return true;
  std::string base = file.substr(
      file.find_last_of("/\\:") == std::string::npos ? 0 : file.find_last_of("/\\:") + 1);
  base = base.substr(0, base.find('.'));
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base.size() == 4 &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

int check_regular_file(const std::string& file, size_t max_bytes) {
  if (names_a_device(file)) return kErrorNotRegularFile;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) {
    return win32::error_of(GetLastError());
  }
  return check_regular(data, max_bytes);
}

int read_whole_file(const std::string& file, std::string* text, size_t max_bytes) {
  text->clear();
  // A device is refused before it is opened: opening one (a COM port, say) can act on it.
  if (const int error = check_regular_file(file, max_bytes)) return error;
  HANDLE handle = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return win32::error_of(GetLastError());
  int error = GetFileType(handle) == FILE_TYPE_DISK ? 0 : kErrorNotRegularFile;
  char buffer[65536];
  while (!error) {
    DWORD n = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &n, nullptr)) {
      error = win32::error_of(GetLastError());
    } else if (n == 0) {
      break;
    } else if (n > max_bytes - text->size()) {
      error = kErrorFileTooLarge;  // the file grew since the size check
    } else {
      text->append(buffer, n);
    }
  }
  CloseHandle(handle);
  if (error) text->clear();
  return error;
}

namespace {

int write_through_temporary(const std::string& file, const std::string& text, bool* temp_created,
                            bool replace) {
  const std::string pattern = temporary_file_pattern(file);
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937 random(std::random_device{}() ^ GetCurrentThreadId());
  std::string temp;
  HANDLE handle = INVALID_HANDLE_VALUE;
  // CREATE_NEW never opens an existing file: a name taken meanwhile is drawn again.
  for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    temp = pattern.substr(0, pattern.size() - 6);
    for (int i = 0; i < 6; ++i) temp += kLetters[random() % (sizeof kLetters - 1)];
    handle = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (temp_created) *temp_created = handle != INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE) return win32::capture_last_error();
  int error = 0;
  size_t done = 0;
  while (!error && done < text.size()) {
    DWORD n = 0;
    const DWORD part = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
    if (!WriteFile(handle, text.data() + done, part, &n, nullptr)) {
      error = win32::error_of(GetLastError());
    }
    done += n;
  }
  if (!error && !FlushFileBuffers(handle)) error = win32::error_of(GetLastError());
  if (!CloseHandle(handle) && !error) error = win32::error_of(GetLastError());
  // Without MOVEFILE_REPLACE_EXISTING the move fails on a taken name.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!error && !MoveFileExA(temp.c_str(), file.c_str(), flags)) {
    error = win32::error_of(GetLastError());
  }
  if (error) {
    DeleteFileA(temp.c_str());
    set_last_error(error);
    return error;
  }
  return 0;
}

}  // namespace

int replace_file(const std::string& file, const std::string& text, bool* temp_created) {
  return write_through_temporary(file, text, temp_created, true);
}

int create_file_whole(const std::string& file, const std::string& text) {
  return write_through_temporary(file, text, nullptr, false);
}

std::string temporary_file_pattern(const std::string& file) {
  return parent_directory(file) + "/." + file.substr(file.find_last_of("/\\") + 1) +
         ".kav-tmp-XXXXXX";
}

namespace {

// 100-ns intervals since 1601, as FILETIME counts them.
uint64_t filetime_ticks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t now_ticks() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return filetime_ticks(now);
}

}  // namespace

void remove_stale_temporaries(const std::string& file, int min_age_seconds) {
  const std::string dir = parent_directory(file);
  const std::string temp = temporary_file_pattern(file);
  const std::string name = temp.substr(temp.find_last_of("/\\") + 1);
  std::vector<std::string> names;
  if (find_files(dir + "/" + name.substr(0, name.size() - 6) + "??????", &names) != 0) return;
  const uint64_t now = now_ticks();
  for (const std::string& found : names) {
    const std::string path = dir + "/" + found;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) continue;
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const uint64_t age = now - filetime_ticks(data.ftLastWriteTime);
    if (age < static_cast<uint64_t>(min_age_seconds) * 10000000ULL) continue;
    remove_path(path);
  }
}

std::optional<uint64_t> entry_age_ms(const std::string& path) {
  // A COM port (\\.\COMn) has no creation time to read: none, so callers wait as usual.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  const uint64_t created = filetime_ticks(data.ftCreationTime);
  const uint64_t now = now_ticks();
  return now > created ? (now - created) / 10000 : 0;
}

// A reparse point (a symbolic link or junction) is refused as a link is on Linux; access to
// the rest is the directory's ACL's matter.
int check_own_directory(const std::string& dir) {
  const DWORD attributes = GetFileAttributesA(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;  // made by the caller
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ELOOP : 0;
}

std::optional<std::pair<uint64_t, uint64_t>> file_identity(const std::string& path) {
  HANDLE handle = CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!known) return std::nullopt;
  return std::make_pair(static_cast<uint64_t>(info.dwVolumeSerialNumber),
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

// A directory cannot be locked on Windows: a lock file in it is, with LockFileEx.
DirectoryLock::DirectoryLock(const std::string& dir) {
  const std::string path = dir + "/.umts_kav_lib.lock";
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
  if (fd_ < 0) {
    CloseHandle(handle);
    return;
  }
  OVERLAPPED whole{};
  locked_ = LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole) != 0;
}

DirectoryLock::~DirectoryLock() {
  if (fd_ < 0) return;
  if (locked_) {
    OVERLAPPED whole{};
    UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), 0, 1, 0, &whole);
  }
  _close(fd_);
}

// replace_file() makes a new file that takes the directory's inherited ACL; there is no owner
// and group to keep as on Linux.
bool replace_keeps_owner(const std::string&) {
  return true;
}

unsigned process_umask() {
  const int mask = _umask(0);
  _umask(mask);
  return static_cast<unsigned>(mask) & 0777;
}

// Windows programs do not work through symbolic links as Linux ones do; MoveFileExA replaces
// the name it is given. The name is taken as it is.
std::optional<std::string> final_link_target(const std::string& path) {
  return path;
}

bool rename_path(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  win32::capture_last_error();
  return false;
}

bool remove_path(const std::string& path) {
  if (DeleteFileA(path.c_str())) return true;
  win32::capture_last_error();
  return false;
}

bool path_writable(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    win32::capture_last_error();
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    set_last_error(EACCES);
    return false;
  }
  return true;
}

bool write_permission_denied(const std::string& path) {
  if (path_writable(path)) return false;
  const int error = last_error();
  return error == EACCES || error == EPERM || error == EROFS;
}

std::FILE* open_file(const std::string& path, const char* mode) {
  std::FILE* file = std::fopen(path.c_str(), binary_mode(mode).c_str());
  if (!file) capture_errno();
  return file;
}

std::FILE* create_new_file(const std::string& path, const char* mode) {
  const std::string m = mode;
  int flags = _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT;
  flags |= m.find('+') != std::string::npos ? _O_RDWR : _O_WRONLY;
  if (!m.empty() && m[0] == 'a') flags |= _O_APPEND;
  const int fd = _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    capture_errno();
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, binary_mode(mode).c_str());
  if (!file) {
    capture_errno();
    _close(fd);
    DeleteFileA(path.c_str());  // made just now by this call
  }
  return file;
}

bool is_name_taken(int error) {
  return error == EEXIST;
}

bool is_transient_error(int error) {
  return error == EAGAIN || error == EBUSY || error == EINTR || error == EIO;
}

bool is_disk_full(int error) {
  return error == ENOSPC;
}

}  // namespace kav::platform
