// The simulated modem's NV memory: 128-byte values by item id (array items by id and element
// index), kept in a text file so that a later run of the simulator sees earlier writes.
//
// File format, one line per written item: "<id> <index> <256 hex digits>"; the index is 0 for
// ordinary items. The file is rewritten after every write: a temporary file of a unique name
// beside it, synced to the disk, then renamed over it.
//
// Threading: every member takes the store's mutex; any thread may use it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kav::sim {

using NvValue = std::array<uint8_t, 128>;

class NvStore {
 public:
  // Loads `path` when it exists; `presets` fill items the file does not hold.
  NvStore(std::string path, const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& presets);

  const std::string& path() const { return path_; }

  // The stored value, or none for an item never written.
  std::optional<NvValue> read(uint16_t id, uint8_t index) const;

  // Stores the value and rewrites the file. False when the new file did not reach the disk
  // (full disk, file size limit, I/O error): the old file and the old value stay.
  bool write(uint16_t id, uint8_t index, const NvValue& value);

 private:
  bool save_locked() const;
  std::string render_locked() const;
  void load();

  std::string path_;
  mutable std::mutex mutex_;
  std::map<std::pair<uint16_t, uint8_t>, NvValue> items_;
};

}  // namespace kav::sim
