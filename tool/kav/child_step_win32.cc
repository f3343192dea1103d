#include <windows.h>

#include "tool/kav/child_step.h"
#include "tool/kav/command_line.h"

namespace kav::tool {

namespace {

HANDLE process_of(const ChildStep& step) {
  return reinterpret_cast<HANDLE>(step.process);
}

HANDLE pipe_of(const ChildStep& step) {
  return reinterpret_cast<HANDLE>(step.output);
}

std::string self_path() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : "kav.exe";
}

// Appends what the pipe holds now, without blocking.
void read_available(ChildStep* step) {
  DWORD available = 0;
  if (!PeekNamedPipe(pipe_of(*step), nullptr, 0, nullptr, &available, nullptr)) return;
  while (available > 0) {
    char buffer[4096];
    DWORD n = 0;
    const DWORD want = available < sizeof buffer ? available : sizeof buffer;
    if (!ReadFile(pipe_of(*step), buffer, want, &n, nullptr) || n == 0) return;
    step->out.append(buffer, n);
    available -= n;
  }
}

// Standard input and error of the child: the NUL device, inheritable.
HANDLE open_null() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, OPEN_EXISTING, 0, nullptr);
}

// Starts `all` with standard output on `out_write`. The process handle, or null.
HANDLE create_child(const std::vector<std::string>& all, HANDLE out_write) {
  const HANDLE null_device = open_null();
  if (null_device == INVALID_HANDLE_VALUE) return nullptr;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_device;
  startup.hStdOutput = out_write;
  startup.hStdError = null_device;
  std::string line = command_line(all);
  PROCESS_INFORMATION info{};
  // The handles are inheritable only until they are closed below; steps are started from one
  // thread, so no other child can inherit them meanwhile.
  const BOOL created = CreateProcessA(all[0].c_str(), line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info);
  CloseHandle(null_device);
  if (!created) return nullptr;
  CloseHandle(info.hThread);
  return info.hProcess;
}

// Waits up to `ms` for one of the steps' children to end (or simply waits, beyond the number
// of handles one wait can take).
void wait_for_an_end(const std::vector<ChildStep*>& steps, DWORD ms) {
  std::vector<HANDLE> processes;
  for (const ChildStep* step : steps) {
    if (step->running()) processes.push_back(process_of(*step));
  }
  if (processes.empty() || processes.size() > MAXIMUM_WAIT_OBJECTS) {
    Sleep(ms);
    return;
  }
  WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), FALSE, ms);
}

}  // namespace

bool start_step(ChildStep* step, const std::vector<std::string>& words, int com) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return false;
  // Only the write end goes to the child.
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  std::vector<std::string> all = {self_path()};
  all.insert(all.end(), words.begin(), words.end());
  all.insert(all.end(), {"--port", "COM" + std::to_string(com), "--json"});
  const HANDLE process = create_child(all, out_write);
  CloseHandle(out_write);
  if (process == nullptr) {
    CloseHandle(out_read);
    return false;
  }
  step->process = reinterpret_cast<intptr_t>(process);
  step->output = reinterpret_cast<intptr_t>(out_read);
  step->out.clear();
  return true;
}

// Anonymous pipes have no waiting for data with a time limit: the pipes are looked at every
// 10 ms, and the wait between looks ends early when a child ends.
void read_step_outputs(const std::vector<ChildStep*>& steps, int timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    bool got = false;
    for (ChildStep* step : steps) {
      if (step->output == -1) continue;
      const size_t before = step->out.size();
      read_available(step);
      got = got || step->out.size() > before;
    }
    const ULONGLONG now = GetTickCount64();
    if (got || now >= deadline) return;
    const ULONGLONG left = deadline - now;
    wait_for_an_end(steps, static_cast<DWORD>(left < 10 ? left : 10));
    for (const ChildStep* step : steps) {
      if (step->running() && WaitForSingleObject(process_of(*step), 0) == WAIT_OBJECT_0) return;
    }
  }
}

ChildStep* reap_step(const std::vector<ChildStep*>& steps, ChildExit* exit) {
  for (ChildStep* step : steps) {
    if (!step->running() || WaitForSingleObject(process_of(*step), 0) != WAIT_OBJECT_0) continue;
    DWORD code = 0;
    GetExitCodeProcess(process_of(*step), &code);
    exit->status = static_cast<int>(code);
    exit->signal = 0;
    return step;
  }
  return nullptr;
}

StepResult finish_step(ChildStep* step, const ChildExit& exit) {
  // The child has ended, and with it the pipe's only write end: what it wrote is in the pipe.
  if (step->output != -1) {
    for (;;) {
      char buffer[4096];
      DWORD n = 0;
      if (!ReadFile(pipe_of(*step), buffer, sizeof buffer, &n, nullptr) || n == 0) break;
      step->out.append(buffer, n);
    }
    CloseHandle(pipe_of(*step));
  }
  if (step->running()) CloseHandle(process_of(*step));
  step->output = -1;
  step->process = 0;
  return step_result(step->out, exit);
}

void interrupt_step(const ChildStep& step) {
  if (step.running()) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(process_of(step)));
}

}  // namespace kav::tool
