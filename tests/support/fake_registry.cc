#include "tests/support/fake_registry.h"

#include <cctype>
#include <cerrno>

namespace kav::test {

using platform::RegValue;

// Lower case, with leading, trailing and repeated backslashes dropped.
std::string FakeRegistry::fold(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

std::string FakeRegistry::fold_name(const std::string& name) {
  std::string out = name;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool FakeRegistry::has_key_locked(const std::string& key) const {
  if (key.empty()) return true;
  for (const std::string& have : keys_) {
    if (have == key || have.rfind(key + "\\", 0) == 0) return true;
  }
  return false;
}

int FakeRegistry::open_error_locked(const std::string& key) const {
  if (fail_all_) return fail_all_;
  auto it = fail_key_.find(key);
  return it == fail_key_.end() ? 0 : it->second;
}

void FakeRegistry::add_key(const std::string& path) {
  std::lock_guard lock(mutex_);
  keys_.insert(fold(path));
}

void FakeRegistry::set_value(const std::string& path, const std::string& name, RegValue value) {
  std::lock_guard lock(mutex_);
  keys_.insert(fold(path));
  values_[fold(path)][fold_name(name)] = std::move(value);
}

void FakeRegistry::set_string(const std::string& path, const std::string& name,
                              const std::string& text) {
  RegValue value{platform::kRegSz, {text.begin(), text.end()}};
  value.data.push_back(0);
  set_value(path, name, std::move(value));
}

void FakeRegistry::set_dword_value(const std::string& path, const std::string& name,
                                   uint32_t number) {
  set_value(path, name,
            RegValue{platform::kRegDword,
                     {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                      static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)}});
}

void FakeRegistry::remove_value(const std::string& path, const std::string& name) {
  std::lock_guard lock(mutex_);
  auto key = values_.find(fold(path));
  if (key != values_.end()) key->second.erase(fold_name(name));
}

bool FakeRegistry::has_key(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return has_key_locked(fold(path));
}

std::optional<RegValue> FakeRegistry::value(const std::string& path,
                                            const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto key = values_.find(fold(path));
  if (key == values_.end()) return std::nullopt;
  auto value = key->second.find(fold_name(name));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

void FakeRegistry::fail_opens(int error) {
  std::lock_guard lock(mutex_);
  fail_all_ = error;
}

void FakeRegistry::fail_opens_of(const std::string& path, int error) {
  std::lock_guard lock(mutex_);
  if (error) {
    fail_key_[fold(path)] = error;
  } else {
    fail_key_.erase(fold(path));
  }
}

int FakeRegistry::open_calls() const {
  std::lock_guard lock(mutex_);
  return open_calls_;
}

int FakeRegistry::query_calls() const {
  std::lock_guard lock(mutex_);
  return query_calls_;
}

int FakeRegistry::set_calls() const {
  std::lock_guard lock(mutex_);
  return set_calls_;
}

int FakeRegistry::open_key(const std::string& path, bool create) {
  std::lock_guard lock(mutex_);
  ++open_calls_;
  const std::string key = fold(path);
  if (const int error = open_error_locked(key)) return error;
  if (has_key_locked(key)) return 0;
  if (!create) return ENOENT;
  keys_.insert(key);
  return 0;
}

int FakeRegistry::query_value(const std::string& path, const std::string& name, RegValue* out) {
  std::lock_guard lock(mutex_);
  ++query_calls_;
  const std::string key = fold(path);
  if (const int error = open_error_locked(key)) return error;
  auto values = values_.find(key);
  if (values == values_.end()) return ENOENT;
  auto value = values->second.find(fold_name(name));
  if (value == values->second.end()) return ENOENT;
  *out = value->second;
  return 0;
}

int FakeRegistry::set_dword(const std::string& path, const std::string& name, uint32_t number) {
  std::lock_guard lock(mutex_);
  ++set_calls_;
  const std::string key = fold(path);
  if (const int error = open_error_locked(key)) return error;
  keys_.insert(key);
  values_[key][fold_name(name)] =
      RegValue{platform::kRegDword,
               {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)}};
  return 0;
}

}  // namespace kav::test
