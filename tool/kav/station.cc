// kav station RECIPE [--log FILE] [--parallel N] [--again] [-q]: a provisioning station. It
// waits for modems to arrive and runs the recipe on each as it comes, several at once, until a
// stop request (SIGINT or SIGTERM; on Windows a console control event).
//
// A recipe is a text file of kav commands, one per line ('#' starts a comment; words are split
// at blanks, double quotes keep blanks and \" and \\ inside them):
//
//   nv restore golden.txt
//   nv write 5078 --text "Tarvell"
//   expect 5078 --text "Tarvell"        (an nv read whose value must be this; also --hex B...,
//   reset                                --inactive, and --index N)
//
// Every line is checked before any modem is touched. Each modem is first asked for its IMEI
// (kav info); a modem whose IMEI the log already shows provisioned is left alone unless
// --again. Each step goes to the log (default RECIPE.log.jsonl, appended to) as one JSON line
// the moment it ends, and synced, so a crash loses no finished step; the lines of one modem
// share "run" (the station's start) and "modem" (its number there), its last line has
// "done": true. A step that moves the modem to another COM number (reset) is followed there.
// On a terminal the screen shows the counts and the last results; otherwise one line per modem
// as it finishes.
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/console.h"
#include "tool/kav/append_file.h"
#include "tool/kav/child_step.h"
#include "tool/kav/commands.h"
#include "tool/kav/session.h"
#include "tool/kav/stop_request.h"
#include "tool/kav/subcommands.h"

namespace kav::tool {

namespace {

using Clock = std::chrono::steady_clock;

// One line of the recipe: the kav words to run and, for an expect line, the value wanted.
struct RecipeStep {
  std::string line;  // as written, for the log
  std::vector<std::string> words;
  bool expect = false;
  std::string want_field;  // "text", "hex" or "state"
  std::string want;
};

struct StationOptions {
  std::string recipe_file;
  std::string log_file;
  size_t parallel = 0;
  bool again = false;
  bool quiet = false;
};

// Splits a recipe line into words. False on an unterminated quote.
bool split_words(const std::string& line, std::vector<std::string>* words) {
  std::string word;
  bool in_word = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
      word += line[++i];
    } else if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) words->push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words->push_back(word);
  return !quoted;
}

// "expect ITEM [--index N] (--text T | --hex B... | --inactive)" as the nv read it runs and the
// value it wants. Returns an empty text, or what is wrong.
std::string parse_expect(const std::vector<std::string>& words, RecipeStep* step) {
  step->expect = true;
  step->words = {"nv", "read"};
  if (words.size() < 3)
    return "usage: expect ITEM [--index N] (--text T | --hex B... | --inactive)";
  step->words.push_back(words[1]);
  for (size_t i = 2; i < words.size(); ++i) {
    if (words[i] == "--index" && i + 1 < words.size()) {
      step->words.insert(step->words.end(), {"--index", words[++i]});
    } else if (words[i] == "--text" && i + 1 < words.size() && step->want_field.empty()) {
      step->want_field = "text";
      step->want = words[++i];
    } else if (words[i] == "--inactive" && step->want_field.empty()) {
      step->want_field = "state";
      step->want = "inactive";
    } else if (words[i] == "--hex" && i + 1 < words.size() && step->want_field.empty()) {
      step->want_field = "hex";
      while (i + 1 < words.size() && words[i + 1].rfind("--", 0) != 0) {
        step->want += (step->want.empty() ? "" : " ") + words[++i];
      }
    } else {
      return "expect: unexpected \"" + words[i] + "\"";
    }
  }
  if (step->want_field.empty()) return "expect needs --text, --hex or --inactive";
  return check_modem_command(step->words);
}

// Reads and checks the whole recipe. Returns an empty text, or "LINE: what is wrong".
std::string read_recipe(const std::string& file, std::vector<RecipeStep>* steps) {
  std::ifstream in(file);
  if (!in) return "cannot read " + file;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    RecipeStep step;
    step.line = line.substr(first);
    std::vector<std::string> words;
    std::string error;
    if (!split_words(line, &words)) {
      error = "unterminated quote";
    } else if (words[0] == "expect") {
      error = parse_expect(words, &step);
    } else {
      step.words = words;
      error = check_modem_command(words);
    }
    if (!error.empty()) return file + ":" + std::to_string(number) + ": " + error;
    steps->push_back(step);
  }
  if (steps->empty()) return file + ": no step";
  return {};
}

// The current UTC time as 2026-12-08T11:01:07.801Z, from the calendar of <chrono> (no C time
// functions, whose buffers the library's threads share).
std::string now_text() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

// The append-only log: one JSON line per write, synced before the next step starts.
class StationLog {
 public:
  // False, with the reason, when the file cannot be opened for appending.
  bool open(const std::string& path, std::string* error) { return file_.open(path, error); }
  void write(const nlohmann::json& line) {
    std::string error;
    if (!file_.append(line.dump() + "\n", &error)) {
      std::fprintf(stderr, "kav station: the log cannot be written: %s\n", error.c_str());
    }
  }

 private:
  AppendFile file_;
};

// The IMEIs that the log shows provisioned (a "done" line with "ok": true).
std::set<std::string> provisioned_imeis(const std::string& path) {
  std::set<std::string> imeis;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const nlohmann::json doc = nlohmann::json::parse(line, nullptr, false);
    if (doc.is_object() && doc.value("done", false) && doc.value("ok", false) &&
        doc.contains("imei") && doc["imei"].is_string()) {
      imeis.insert(doc["imei"].get<std::string>());
    }
  }
  return imeis;
}

// One modem on the station.
struct Worker {
  int id = 0;
  int com = 0;
  std::string imei;
  size_t next_step = 0;     // the recipe step running (after the identity step)
  bool identity = true;     // the identity step is running
  bool holds_imei = false;  // this worker has claimed its IMEI on the station
  bool ok = true;
  std::string error;
  Clock::time_point started;
  Clock::time_point step_started;
  ChildStep child;
};

class Station {
 public:
  Station(StationOptions options, std::vector<RecipeStep> recipe, StationLog* log)
      : options_(std::move(options)), recipe_(std::move(recipe)), log_(log) {
    done_imeis_ = provisioned_imeis(options_.log_file);
    run_ = now_text();
    live_ = !options_.quiet && platform::enable_terminal_sequences(stdout);
  }

  int run() {
    std::printf("kav station: %zu step%s from %s; log %s. Waiting for modems (Ctrl-C stops).\n",
                recipe_.size(), recipe_.size() == 1 ? "" : "s", options_.recipe_file.c_str(),
                options_.log_file.c_str());
    std::fflush(stdout);
    while (!stop_requested() || !workers_.empty()) {
      if (!stop_requested()) look_for_arrivals();
      read_step_outputs(children(), 200);
      ChildExit exit;
      // A step's end may remove its worker: the list of children is taken again each time.
      while (ChildStep* ended = reap_step(children(), &exit)) step_ended(ended, exit);
      if (live_) draw();
    }
    std::printf("Stopped: %d done, %d failed.\n", done_, failed_);
    return failed_ > 0 ? kExitFailed : kExitOk;
  }

 private:
  // Starts a worker for every DM port that is new; forgets ports that left, so that the next
  // modem there is provisioned.
  void look_for_arrivals() {
    std::set<int> present;
    if (PortScanListPtr list = get_com_port_list(PT_DM)) {
      for (const PortScanEntry& e : list->entries) {
        if (e.com_port > 0) present.insert(e.com_port);
      }
    }
    for (auto it = seen_.begin(); it != seen_.end();) {
      it = present.count(*it) ? std::next(it) : seen_.erase(it);
    }
    for (int com : present) {
      if (seen_.count(com) || (options_.parallel && workers_.size() >= options_.parallel)) continue;
      seen_.insert(com);
      Worker w;
      w.id = ++started_;
      w.com = com;
      w.started = w.step_started = Clock::now();
      if (!start_step(&w.child, {"info"}, com)) continue;
      workers_.push_back(std::move(w));
    }
  }

  std::vector<ChildStep*> children() {
    std::vector<ChildStep*> steps;
    for (Worker& w : workers_) steps.push_back(&w.child);
    return steps;
  }

  void step_ended(ChildStep* ended, const ChildExit& exit) {
    for (auto it = workers_.begin(); it != workers_.end(); ++it) {
      if (&it->child != ended) continue;
      if (!advance(&*it, finish_step(&it->child, exit))) {
        finish(&*it);
        workers_.erase(it);
      }
      return;
    }
  }

  // Logs the ended step and starts the next. False when the modem is done.
  bool advance(Worker* w, const StepResult& result) {
    const double seconds = std::chrono::duration<double>(Clock::now() - w->step_started).count();
    const std::string step = w->identity ? "info" : recipe_[w->next_step].line;
    bool ok = result.ok;
    std::string error = result.error;
    if (result.doc.is_object()) {
      if (result.doc.contains("imei") && result.doc["imei"].is_string()) {
        w->imei = result.doc["imei"].get<std::string>();
      }
      // A reset or mode change may bring the modem back under another COM number.
      if (result.doc.contains("com_port") && result.doc["com_port"].is_number_integer()) {
        const int com = result.doc["com_port"].get<int>();
        if (com > 0 && com != w->com) {
          w->com = com;
          seen_.insert(com);
        }
      }
    }
    if (ok && !w->identity && recipe_[w->next_step].expect)
      ok = expected(recipe_[w->next_step], result, &error);
    nlohmann::json line = {{"time", now_text()}, {"run", run_},
                           {"modem", w->id},     {"port", "COM" + std::to_string(w->com)},
                           {"imei", w->imei},    {"step", step},
                           {"ok", ok},           {"seconds", seconds}};
    if (!ok) line["error"] = error;
    log_->write(line);
    if (!ok) {
      w->ok = false;
      w->error = step + ": " + error;
      return false;
    }
    if (w->identity && done_imeis_.count(w->imei) && !options_.again) {
      w->error = "already provisioned (the log says so)";
      return false;
    }
    if (w->identity && busy_imeis_.count(w->imei)) {
      w->error = "already on the station under another port";
      return false;
    }
    if (w->identity) {
      busy_imeis_.insert(w->imei);
      w->holds_imei = true;
    }
    const size_t next = w->identity ? 0 : w->next_step + 1;
    w->identity = false;
    if (next >= recipe_.size() || stop_requested()) {
      if (next < recipe_.size()) {
        w->ok = false;
        w->error = "stopped before: " + recipe_[next].line;
      }
      return false;
    }
    w->next_step = next;
    w->step_started = Clock::now();
    if (!start_step(&w->child, recipe_[next].words, w->com)) {
      w->ok = false;
      w->error = "cannot start kav";
      return false;
    }
    return true;
  }

  static bool expected(const RecipeStep& step, const StepResult& result, std::string* error) {
    const nlohmann::json& value = result.doc[step.want_field];
    if (value.is_string() && value.get<std::string>() == step.want) return true;
    *error = "expected " + step.want_field + " " + step.want + ", read " +
             (value.is_string() ? value.get<std::string>() : value.dump());
    return false;
  }

  void finish(Worker* w) {
    const bool skipped = w->ok && !w->error.empty();
    nlohmann::json line = {
        {"time", now_text()},
        {"run", run_},
        {"modem", w->id},
        {"port", "COM" + std::to_string(w->com)},
        {"imei", w->imei},
        {"done", true},
        {"ok", w->ok && !skipped},
        {"seconds", std::chrono::duration<double>(Clock::now() - w->started).count()}};
    if (!w->error.empty()) line[skipped ? "skipped" : "error"] = w->error;
    log_->write(line);
    if (w->ok && !skipped) {
      done_imeis_.insert(w->imei);
      ++done_;
    } else if (!skipped) {
      ++failed_;
    }
    if (w->holds_imei) busy_imeis_.erase(w->imei);
    char text[512];
    std::snprintf(text, sizeof text, "COM%-5d %-16s %-8s %6.2f s  %s", w->com,
                  w->imei.empty() ? "-" : w->imei.c_str(),
                  skipped ? "skipped"
                  : w->ok ? "ok"
                          : "FAILED",
                  line["seconds"].get<double>(), w->error.c_str());
    last_.push_back(text);
    if (last_.size() > 8) last_.pop_front();
    if (!live_ && !options_.quiet) {
      std::printf("%s\n", text);
      std::fflush(stdout);
    }
  }

  void draw() {
    std::printf("\x1b[H\x1b[2JProvisioning with %s: %d done, %d failed, %zu running\n\n",
                options_.recipe_file.c_str(), done_, failed_, workers_.size());
    for (const Worker& w : workers_) {
      std::printf("  COM%-5d %-16s %s\n", w.com, w.imei.empty() ? "-" : w.imei.c_str(),
                  w.identity ? "info" : recipe_[w.next_step].line.c_str());
    }
    std::printf("\nLast results:\n");
    for (const std::string& text : last_) std::printf("  %s\n", text.c_str());
    std::fflush(stdout);
  }

  StationOptions options_;
  std::vector<RecipeStep> recipe_;
  StationLog* log_;
  bool live_ = false;
  std::vector<Worker> workers_;
  std::set<int> seen_;  // DM ports present that have had (or have) their worker
  std::set<std::string> done_imeis_;
  std::set<std::string> busy_imeis_;
  std::deque<std::string> last_;
  std::string run_;  // when this station started: with "modem", names a modem's record
  int started_ = 0, done_ = 0, failed_ = 0;
};

// Reads the words after "station". Returns an empty text, or what is wrong.
std::string parse_station(const std::vector<std::string>& words, StationOptions* options) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--again") {
      options->again = true;
    } else if (word == "-q") {
      options->quiet = true;
    } else if (word == "--log" && i + 1 < words.size()) {
      options->log_file = words[++i];
    } else if (word == "--parallel" && i + 1 < words.size()) {
      long n = 0;
      if (!parse_number(words[++i], 1, 1000, &n)) return "--parallel needs a number from 1 to 1000";
      options->parallel = static_cast<size_t>(n);
    } else if (word.rfind("-", 0) == 0 || !options->recipe_file.empty()) {
      return "unexpected \"" + word + "\"";
    } else {
      options->recipe_file = word;
    }
  }
  if (options->recipe_file.empty())
    return "usage: kav station RECIPE [--log FILE] [--parallel N] [--again] [-q]";
  if (options->log_file.empty()) options->log_file = options->recipe_file + ".log.jsonl";
  return {};
}

}  // namespace

int run_station(const std::vector<std::string>& words) {
  Invocation inv;
  inv.name = "station";
  StationOptions options;
  std::string error = parse_station(words, &options);
  inv.quiet = options.quiet;
  if (!error.empty()) return usage_error(inv, "%s", error.c_str());
  std::vector<RecipeStep> recipe;
  error = read_recipe(options.recipe_file, &recipe);
  if (!error.empty()) return usage_error(inv, "%s", error.c_str());
  StationLog log;
  if (!log.open(options.log_file, &error))
    return failure(inv, "cannot open the log %s", error.c_str());
  start_library(inv);
  catch_stop_request();
  return Station(options, recipe, &log).run();
}

}  // namespace kav::tool
