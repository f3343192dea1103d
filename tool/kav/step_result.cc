// The result of an ended kav step from its output and its exit, the same on every system.
#include <cstdio>
#include <string>

#include "tool/kav/child_step.h"

namespace kav::tool {

namespace {

// Windows' exit codes of a process ended by an exception or a console event are NTSTATUS
// values (0xC000013A for Ctrl-C), readable in hexadecimal only.
std::string exit_text(const ChildExit& exit) {
  if (exit.signal != 0) return "ended by signal " + std::to_string(exit.signal);
  const unsigned status = static_cast<unsigned>(exit.status);
  if (status < 256) return "exit status " + std::to_string(status);
  char text[32];
  std::snprintf(text, sizeof text, "exit status 0x%08X", status);
  return text;
}

}  // namespace

StepResult step_result(const std::string& out, const ChildExit& exit) {
  StepResult result;
  result.doc = nlohmann::json::parse(out, nullptr, false);
  const bool exited_ok = exit.signal == 0 && exit.status == 0;
  result.ok = exited_ok && result.doc.is_object() && result.doc.value("ok", false);
  if (!result.ok) {
    const bool said =
        result.doc.is_object() && result.doc.contains("error") && result.doc["error"].is_string();
    result.error = said ? result.doc["error"].get<std::string>() : exit_text(exit);
  }
  return result;
}

}  // namespace kav::tool
