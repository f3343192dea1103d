// Helpers shared by the tests: a temporary directory removed at the end of a test, environment
// variables set for the duration of a test, whole-file reads and writes, and a message sink
// that collects what the library reports.
//
// Threading: MessageCapture may be fed from any thread; the rest belongs to the test's thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kav::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `relative` below the directory.
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable until destruction.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);
// write_file after creating the directories on the path.
void write_file_with_dirs(const std::string& path, const std::string& contents);
bool file_exists(const std::string& path);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);
// Splits text into lines at '\n' (a final empty piece is dropped).
std::vector<std::string> split_lines(const std::string& text);

// Collects the library's messages while installed as its sink.
class MessageCapture {
 public:
  MessageCapture();   // installs itself as the library's sink
  ~MessageCapture();  // removes the sink
  std::vector<std::string> messages() const;
  std::string text() const;  // all messages joined
  void clear();

 private:
  static void sink(const char* text);
  static std::mutex mutex_;
  static std::vector<std::string>* messages_;
};

}  // namespace kav::test
