#include "lib/core/messages.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "lib/core/library.h"
#include "lib/platform/clock.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"

namespace kav {

namespace {

constexpr const char* kMsgLogStem = "umts_kav_lib_msg_log";
constexpr const char* kCommLogStem = "umts_kav_lib_comm_log";
constexpr const char* kLogExtension = "txt";
constexpr size_t kBufferStep = 128;
// The largest log number taken from a file name; larger ones are read as this, so that the
// next number never overflows. It is also the last number a new log is given.
constexpr long kMaxLogNumber = 99'999'999;

// Everything the message function and the two logs share. Guarded by `mutex`.
struct LogState {
  std::recursive_mutex mutex;
  MessageSink sink = nullptr;
  std::vector<char> buffer;  // the message buffer; capacity grows in 128-byte steps
  bool message_logging = false;
  bool comm_logging = false;
  std::FILE* msg_log = nullptr;
  std::FILE* comm_log = nullptr;
  std::string msg_log_name;
  std::string comm_log_name;
  bool msg_line_start = true;     // show_msg's flag for the message log
  bool both_line_start = true;    // log_note_both's flag, shared by both files
  bool opening = false;           // open_log_files is running
  bool problem_reported = false;  // a log that cannot be had was said on standard error
  // The logging directory is a link, another user's, or cannot be made or written: the logs
  // are not tried again until the logging settings are read anew.
  bool directory_unusable = false;
  // Clock base, taken whenever the logs are opened.
  int64_t base_ms_since_midnight = 0;
  int64_t base_counter = 0;
};

LogState& state() {
  static LogState* s = new LogState;  // never destroyed: threads may log during exit
  return *s;
}

// Writes `text` to `file`, putting `prefix` before every character that starts a line.
void write_prefixed(std::FILE* file, const char* text, const std::string& prefix,
                    bool* line_start) {
  for (const char* p = text; *p; ++p) {
    if (*line_start) {
      std::fputs(prefix.c_str(), file);
      *line_start = false;
    }
    std::fputc(*p, file);
    if (*p == '\n' || *p == '\r') *line_start = true;
  }
  std::fflush(file);
}

// Formats into the message buffer, growing it to the next multiple of 128 bytes that holds the
// text and its terminator. False when the buffer cannot be had (reported on standard error).
bool format_message(LogState& s, const char* format, va_list args) {
  if (s.buffer.empty()) {
    try {
      s.buffer.resize(kBufferStep);
    } catch (const std::bad_alloc&) {
      std::fputs("ERROR -- malloc failure in show_msg.\n", stderr);
      return false;
    }
  }
  if (!format || !*format) {
    s.buffer[0] = '\0';
    return true;
  }
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(s.buffer.data(), s.buffer.size(), format, measure);
  va_end(measure);
  if (needed < 0) {
    s.buffer[0] = '\0';
    return true;
  }
  if (static_cast<size_t>(needed) < s.buffer.size()) return true;
  const size_t capacity = (static_cast<size_t>(needed) / kBufferStep + 1) * kBufferStep;
  try {
    s.buffer.resize(capacity);
  } catch (const std::bad_alloc&) {
    std::fputs("ERROR -- realloc failure in show_msg.\n", stderr);
    std::vector<char>().swap(s.buffer);  // the next message starts from a new buffer
    return false;
  }
  std::vsnprintf(s.buffer.data(), s.buffer.size(), format, args);
  return true;
}

void close_file(std::FILE** file, std::string* name) {
  if (*file) std::fclose(*file);
  *file = nullptr;
  name->clear();
}

void take_clock_base(LogState& s) {
  const platform::LocalTime now = platform::local_time();
  s.base_ms_since_midnight =
      ((now.hour * 60LL + now.minute) * 60LL + now.second) * 1000LL + now.millisecond;
  s.base_counter = platform::perf_counter();
}

void write_banner(std::FILE* file) {
  std::fprintf(file, "'UMTS Kavrin LIB %s'\n\n", library_version());
  std::fprintf(file, "\n\n%s\n\n", std::string(94, '#').c_str());
  const platform::LocalTime now = platform::local_time();
  std::fprintf(file, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d\n\n", now.year, now.month, now.day,
               now.hour, now.minute, now.second);
  std::fflush(file);
}

// The full name of log `number` of `stem` in `directory`; none (reported) when it cannot be
// had.
std::optional<std::string> log_path(const std::string& directory, const char* stem, int number) {
  char formatted[platform::kMaxPath];
  const int length = std::snprintf(formatted, sizeof formatted, "%s%s_%3.3d.%s", directory.c_str(),
                                   stem, number, kLogExtension);
  std::optional<std::string> full;
  if (length >= 0 && static_cast<size_t>(length) < sizeof formatted) {
    full = platform::full_path(formatted);
  }
  if (!full) show_msg("ERROR: Unable to determine full path name for \"%s\"\n", formatted);
  return full;
}

// A log that cannot be had is said once on standard error, since at attach neither the sink
// nor a log exists to carry it; set_logging arms the report again.
[[gnu::format(printf, 2, 3)]] void report_log_problem(LogState& s, const char* format, ...) {
  if (s.problem_reported) return;
  s.problem_reported = true;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

// Creates the first free log of `stem` numbered `*number` or above with its banner. A name
// that exists (planted, or made since the directory was listed) is never reused: the next
// number is tried. Leaves the file closed when no number is left (false; the caller says so,
// once for both logs) or the file cannot be made (said here).
bool open_one_log(LogState& s, const std::string& directory, const char* stem, int* number,
                  std::FILE** file, std::string* name) {
  for (; *number <= kMaxLogNumber; ++*number) {
    const std::optional<std::string> full = log_path(directory, stem, *number);
    if (!full) return true;
    *file = open_with_dirs(*full, "w");
    if (*file) {
      *name = *full;
      write_banner(*file);
      return true;
    }
    const int error = platform::last_error();
    if (platform::is_name_taken(error)) continue;
    s.directory_unusable = true;  // said once; every later message would fail the same way
    report_log_problem(s,
                       "ERROR: umts_kav_lib: logging directory \"%s\" cannot be made or written "
                       "(%s); running without logs.\n",
                       platform::parent_directory(*full).c_str(),
                       platform::system_error_text(error).c_str());
    return true;
  }
  return false;
}

// Reads the number part of a log file name: the part after "<stem>_" without ".txt". Returns
// -1 unless it is all digits; an empty part is 0.
long log_number_of(const std::string& file_name, size_t stem_length) {
  if (file_name.size() < stem_length + 1 + 4) return -1;
  const std::string digits = file_name.substr(stem_length + 1, file_name.size() - stem_length - 5);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  if (digits.empty()) return 0;
  if (digits.size() > 8) return kMaxLogNumber;
  return std::min(std::strtol(digits.c_str(), nullptr, 10), kMaxLogNumber);
}

}  // namespace

std::recursive_mutex& log_mutex() {
  return state().mutex;
}

void set_message_sink(MessageSink sink) {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  s.sink = sink;
}

void show_msg(const char* format, ...) {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  va_list args;
  va_start(args, format);
  const bool formatted = format_message(s, format, args);
  va_end(args);
  if (!formatted) return;
  // The buffer may move if a nested open_log_files reports a message; keep a copy.
  const std::string text(s.buffer.data());
  if (s.sink) s.sink(text.c_str());
  if (!s.msg_log && s.message_logging && !s.opening) open_log_files();
  if (s.msg_log) write_prefixed(s.msg_log, text.c_str(), log_timestamp() + " ", &s.msg_line_start);
}

void comm_log_record(const char* tag, const uint8_t* bytes, int32_t count) {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.comm_log) {
    if (!s.comm_logging || s.opening) return;
    open_log_files();
    if (!s.comm_log) return;
  }
  std::fprintf(s.comm_log, "%s %4d %s -- ", log_timestamp().c_str(), count, tag ? tag : "");
  if (bytes && count > 0) {
    for (int32_t i = 0; i < count; ++i) std::fprintf(s.comm_log, "%2.2X ", bytes[i]);
  }
  std::fputc('\n', s.comm_log);
  std::fflush(s.comm_log);
}

void log_note_both(const char* text) {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  const bool msg_wanted = !s.msg_log && s.message_logging;
  const bool comm_wanted = !s.comm_log && s.comm_logging;
  if ((msg_wanted || comm_wanted) && !s.opening) open_log_files();
  const std::string prefix = log_timestamp() + " ";
  if (s.msg_log) write_prefixed(s.msg_log, text, prefix, &s.both_line_start);
  if (s.comm_log) write_prefixed(s.comm_log, text, prefix, &s.both_line_start);
}

void open_log_files() {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  s.opening = true;
  close_file(&s.msg_log, &s.msg_log_name);
  close_file(&s.comm_log, &s.comm_log_name);
  take_clock_base(s);
  const std::string directory = logging_directory();
  // Logs hold the modem's identity: a directory another user controls gets none of them.
  if (s.directory_unusable) {
    s.opening = false;
    return;
  }
  if (const int error = platform::check_own_directory(directory)) {
    s.directory_unusable = true;
    report_log_problem(s,
                       "ERROR: umts_kav_lib: logging directory \"%s\" %s; running without logs.\n",
                       platform::parent_directory(directory + "log").c_str(),
                       error == ELOOP ? "is a symbolic link" : "belongs to another user");
    s.opening = false;
    return;
  }
  const int m = highest_log_number(directory, kMsgLogStem);
  const int c = highest_log_number(directory, kCommLogStem);
  // Both logs take the same number unless a name in between is taken.
  int number = std::max(m + 1, c + 1);
  std::vector<std::string> spent;  // the stems left without a number
  if (s.message_logging) {
    if (!open_one_log(s, directory, kMsgLogStem, &number, &s.msg_log, &s.msg_log_name)) {
      spent.push_back(std::string("\"") + kMsgLogStem + "\"");
    }
    s.msg_line_start = true;
  }
  if (s.comm_logging &&
      !open_one_log(s, directory, kCommLogStem, &number, &s.comm_log, &s.comm_log_name)) {
    spent.push_back(std::string("\"") + kCommLogStem + "\"");
  }
  if (!spent.empty()) {
    report_log_problem(
        s,
        "ERROR: umts_kav_lib: no log number is left for %s in \"%s\"; running "
        "without %s.\n",
        spent.size() == 1 ? spent[0].c_str() : (spent[0] + " and " + spent[1]).c_str(),
        directory.c_str(), spent.size() == 1 ? "that log" : "those logs");
  }
  s.both_line_start = true;
  s.opening = false;
}

int highest_log_number(const std::string& directory, const char* stem) {
  const std::string pattern = directory + stem + "_*." + kLogExtension;
  if (pattern.size() > 259) return 0;
  std::vector<std::string> names;
  const int error = platform::find_files(pattern, &names);
  if (error == ENOENT) return 0;
  if (error != 0) return -1;
  long highest = 0;
  for (const std::string& name : names)
    highest = std::max(highest, log_number_of(name, std::strlen(stem)));
  return static_cast<int>(highest);
}

std::string log_timestamp() {
  LogState& s = state();
  const int64_t elapsed = platform::perf_counter() - s.base_counter;
  const auto micros = static_cast<int64_t>(static_cast<double>(elapsed) * 1000000.0 /
                                           static_cast<double>(platform::perf_frequency()));
  const int64_t t = micros / 1000 + s.base_ms_since_midnight;
  char text[64];
  std::snprintf(text, sizeof text, "%3d:%2.2d:%2.2d.%3.3d%3.3d", static_cast<int>(t / 3600000),
                static_cast<int>((t / 60000) % 60), static_cast<int>((t / 1000) % 60),
                static_cast<int>(t % 1000), static_cast<int>(micros % 1000));
  return text;
}

void set_logging(bool message_logging, bool comm_logging) {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  s.message_logging = message_logging;
  s.comm_logging = comm_logging;
  s.problem_reported = false;
  s.directory_unusable = false;
}

bool message_logging() {
  std::lock_guard lock(state().mutex);
  return state().message_logging;
}

bool comm_logging() {
  std::lock_guard lock(state().mutex);
  return state().comm_logging;
}

bool message_log_open() {
  std::lock_guard lock(state().mutex);
  return state().msg_log != nullptr;
}

bool comm_log_open() {
  std::lock_guard lock(state().mutex);
  return state().comm_log != nullptr;
}

void close_log_files() {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  close_file(&s.msg_log, &s.msg_log_name);
  close_file(&s.comm_log, &s.comm_log_name);
}

void comm_log_write_raw(const char* text) {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.comm_log) return;
  std::fputs(text, s.comm_log);
  std::fflush(s.comm_log);
}

std::string message_log_name() {
  std::lock_guard lock(state().mutex);
  return state().msg_log_name;
}

std::string comm_log_name() {
  std::lock_guard lock(state().mutex);
  return state().comm_log_name;
}

size_t message_buffer_capacity() {
  std::lock_guard lock(state().mutex);
  return state().buffer.size();
}

void reset_messages() {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  close_log_files();
  s.sink = nullptr;
  std::vector<char>().swap(s.buffer);
  s.message_logging = s.comm_logging = false;
  s.msg_line_start = s.both_line_start = true;
  s.opening = false;
  s.problem_reported = false;
  s.base_ms_since_midnight = s.base_counter = 0;
}

}  // namespace kav
