#include "tests/support/test_env.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "lib/core/messages.h"

namespace kav::test {

TempDir::TempDir() {
  std::string pattern =
      std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/kav_test_XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
  if (const char* old = std::getenv(name)) previous_ = old;
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

void write_file_with_dirs(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  write_file(path, contents);
}

bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::mutex MessageCapture::mutex_;
std::vector<std::string>* MessageCapture::messages_ = nullptr;

MessageCapture::MessageCapture() {
  std::lock_guard lock(mutex_);
  messages_ = new std::vector<std::string>;
  set_message_sink(&MessageCapture::sink);
}

MessageCapture::~MessageCapture() {
  set_message_sink(nullptr);
  std::lock_guard lock(mutex_);
  delete messages_;
  messages_ = nullptr;
}

void MessageCapture::sink(const char* text) {
  std::lock_guard lock(mutex_);
  if (messages_) messages_->push_back(text);
}

std::vector<std::string> MessageCapture::messages() const {
  std::lock_guard lock(mutex_);
  return *messages_;
}

std::string MessageCapture::text() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const std::string& m : *messages_) all += m;
  return all;
}

void MessageCapture::clear() {
  std::lock_guard lock(mutex_);
  messages_->clear();
}

}  // namespace kav::test
