#include "sim/nv_store.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kav::sim {

namespace {

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
  items_[{id, index}] = value;
  return save_locked();
}

bool NvStore::save_locked() const {
  const std::string temporary = path_ + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const auto& [key, value] : items_) {
      out << key.first << ' ' << static_cast<unsigned>(key.second) << ' ';
      char hex[3];
      for (uint8_t byte : value) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        out << hex;
      }
      out << '\n';
    }
    if (!out) return false;
  }
  return std::rename(temporary.c_str(), path_.c_str()) == 0;
}

}  // namespace kav::sim
