#include "tool/kav/cli.h"

#include <cstdarg>
#include <cstdio>

#include "lib/platform/console.h"

namespace kav::tool {
namespace {

std::string format_text(const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

const OptionSpec* find_option(const std::vector<OptionSpec>& options, const std::string& word) {
  static const OptionSpec kCommon[] = {{"--json", nullptr}, {"-q", nullptr}, {"--help", nullptr}};
  for (const OptionSpec& o : kCommon) {
    if (word == o.name) return &o;
  }
  for (const OptionSpec& o : options) {
    if (word == o.name) return &o;
  }
  return nullptr;
}

bool is_option(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9');
}

}  // namespace

void print_failure_document(const Invocation& inv, const std::string& text) {
  if (!inv.json || inv.output_written) return;
  JsonWriter json = json_result(inv, false);
  json.member("error", text).end_object();
  std::fputs(json.text().c_str(), stdout);
  std::fflush(stdout);
  inv.output_written = true;
}

const std::string* Invocation::value(const std::string& option) const {
  const auto found = values.find(option);
  return found == values.end() ? nullptr : &found->second;
}

std::string parse_invocation(const std::vector<std::string>& words,
                             const std::vector<OptionSpec>& options, Invocation* inv) {
  // Known before anything else, so that a usage error is reported in the form asked for.
  for (const std::string& word : words) {
    if (word == "--json") inv->json = true;
    if (word == "-q") inv->quiet = true;
  }
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!is_option(word)) {
      inv->args.push_back(word);
      continue;
    }
    const OptionSpec* option = find_option(options, word);
    if (option == nullptr) return "unknown option \"" + word + "\"";
    if (word == "--hex") {
      inv->flags.insert(word);
      while (i + 1 < words.size() && !is_option(words[i + 1])) inv->hex.push_back(words[++i]);
    } else if (option->value == nullptr) {
      inv->flags.insert(word);
    } else if (i + 1 >= words.size()) {
      return word + " needs a value (" + option->value + ")";
    } else {
      inv->values[word] = words[++i];
    }
  }
  return {};
}

void complain(const Invocation& inv, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_text(format, args);
  va_end(args);
  std::fprintf(stderr, "kav %s: %s\n", inv.name.c_str(), text.c_str());
  std::fflush(stderr);
}

namespace {

void (*before_result_hook)() = nullptr;

void before_result() {
  if (before_result_hook != nullptr) before_result_hook();
}

}  // namespace

void set_before_result(void (*hook)()) {
  before_result_hook = hook;
}

int usage_error(const Invocation& inv, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_text(format, args);
  va_end(args);
  complain(inv, "%s", text.c_str());
  print_failure_document(inv, text);
  return kExitUsage;
}

int failure(Invocation& inv, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_text(format, args);
  va_end(args);
  before_result();
  complain(inv, "%s", text.c_str());
  print_failure_document(inv, text);
  return kExitFailed;
}

void print_result(Invocation& inv, const std::string& text, const std::string& quiet_text,
                  const JsonWriter& json) {
  const std::string& out = inv.json ? json.text() : inv.quiet ? quiet_text : text;
  before_result();
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  inv.output_written = true;
}

JsonWriter json_result(const Invocation& inv, bool ok) {
  JsonWriter json;
  json.begin_object().member("command", inv.name).member("ok", ok);
  return json;
}

bool parse_number(const std::string& text, long low, long high, long* number) {
  if (text.empty() || text.size() > 9) return false;
  long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < low || n > high) return false;
  *number = n;
  return true;
}

void progress(const Invocation& inv, const char* text) {
  if (inv.quiet || !platform::is_terminal(stderr)) return;
  std::fputs(text, stderr);
  std::fflush(stderr);
}

}  // namespace kav::tool
