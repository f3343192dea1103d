#include "sim/nv_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kav::sim {

namespace {

// Writes all of `text` to `fd`, resuming after partial writes and interrupted calls.
bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Flushes the directory holding `path`, so that a rename in it survives a crash. Best effort:
// some file systems refuse fsync on a directory.
// The mode of the store file being replaced; a new store gets 0644, as the file streams that
// wrote it before gave it under the usual umask.
mode_t store_mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
}

void sync_directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool parse_value(const std::string& hex, NvValue* value) {
  if (hex.size() != 256) return false;
  for (size_t i = 0; i < 128; ++i) {
    unsigned byte = 0;
    if (std::sscanf(hex.c_str() + 2 * i, "%2x", &byte) != 1) return false;
    (*value)[i] = static_cast<uint8_t>(byte);
  }
  return true;
}

}  // namespace

NvStore::NvStore(std::string path,
                 const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& presets)
    : path_(std::move(path)) {
  for (const auto& [id, bytes] : presets) {
    NvValue value{};
    for (size_t i = 0; i < bytes.size() && i < value.size(); ++i) value[i] = bytes[i];
    items_[{id, 0}] = value;
  }
  load();
}

void NvStore::load() {
  std::ifstream in(path_);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    unsigned id = 0, index = 0;
    std::string hex;
    NvValue value{};
    if (!(fields >> id >> index >> hex) || id > 0xFFFF || index > 0xFF ||
        !parse_value(hex, &value)) {
      continue;  // a spoilt line loses that item only
    }
    items_[{static_cast<uint16_t>(id), static_cast<uint8_t>(index)}] = value;
  }
}

std::optional<NvValue> NvStore::read(uint16_t id, uint8_t index) const {
  std::lock_guard lock(mutex_);
  auto it = items_.find({id, index});
  if (it == items_.end()) return std::nullopt;
  return it->second;
}

bool NvStore::write(uint16_t id, uint8_t index, const NvValue& value) {
  std::lock_guard lock(mutex_);
  const auto key = std::make_pair(id, index);
  const auto previous = items_.find(key);
  const std::optional<NvValue> old =
      previous == items_.end() ? std::nullopt : std::optional<NvValue>(previous->second);
  items_[key] = value;
  if (save_locked()) return true;
  // The write did not reach the file: memory goes back to what the file still holds.
  if (old) {
    items_[key] = *old;
  } else {
    items_.erase(key);
  }
  return false;
}

std::string NvStore::render_locked() const {
  std::string text;
  char hex[3];
  for (const auto& [key, value] : items_) {
    text += std::to_string(key.first) + ' ' + std::to_string(key.second) + ' ';
    for (uint8_t byte : value) {
      std::snprintf(hex, sizeof hex, "%02x", byte);
      text += hex;
    }
    text += '\n';
  }
  return text;
}

// The new contents go to a temporary file of a unique name beside the store, are flushed to
// the disk and only then renamed over the store: a full disk or a crash leaves the old file.
bool NvStore::save_locked() const {
  std::string temporary = path_ + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool saved =
      ::fchmod(fd, store_mode(path_)) == 0 && write_all(fd, render_locked()) && ::fsync(fd) == 0;
  saved = ::close(fd) == 0 && saved;
  saved = saved && std::rename(temporary.c_str(), path_.c_str()) == 0;
  if (!saved) {
    std::remove(temporary.c_str());
    return false;
  }
  sync_directory_of(path_);
  return true;
}

}  // namespace kav::sim
