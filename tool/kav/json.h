// A small JSON writer for the --json output of kav: objects, arrays, strings, numbers, true,
// false and null, written in order into one text. Strings are escaped as JSON requires
// (quote, backslash and control characters); bytes that are not UTF-8 become U+FFFD, so the
// document is always valid UTF-8.
//
// Threading: a writer belongs to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kav::tool {

class JsonWriter {
 public:
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  // The name of the next member of the object being written.
  JsonWriter& key(std::string_view name);
  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text) { return value(std::string_view(text)); }
  JsonWriter& value(int64_t number);
  JsonWriter& value(int number) { return value(static_cast<int64_t>(number)); }
  JsonWriter& value(bool flag);
  JsonWriter& null();

  // key(name) followed by value(v).
  template <typename T>
  JsonWriter& member(std::string_view name, const T& v) {
    return key(name).value(v);
  }

  // The document written so far, with a line end once it is complete.
  std::string text() const { return out_ + "\n"; }

 private:
  void before_value();
  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool after_key_ = false;
};

// `text` as a JSON string literal, quotes included.
std::string json_quote(std::string_view text);

}  // namespace kav::tool
