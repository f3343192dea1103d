#include "tests/support/fake_line_errors.h"

#include <limits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <mutex>

namespace kav::test {
namespace {

struct FakeState {
  std::mutex lock;
  std::string tty;  // resolved path
  FakeLineErrors::Counts counts;
  int queries = 0;
};

std::atomic<bool> g_active{false};

FakeState& state() {
  static FakeState* s = new FakeState;
  return *s;
}

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

// The tty a descriptor is open on, or "" when it cannot be told.
std::string path_of_fd(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buffer[PATH_MAX];
  const ssize_t n = readlink(link, buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

// Fills `out` when `fd` is the faked tty; false to let the kernel answer.
bool fake_icount(int fd, serial_icounter_struct* out) {
  if (!g_active.load()) return false;
  const std::string path = path_of_fd(fd);
  FakeState& s = state();
  std::lock_guard guard(s.lock);
  if (s.tty.empty() || path != s.tty || out == nullptr) return false;
  const platform::LineErrorCounts counts = s.counts(++s.queries);
  *out = serial_icounter_struct{};
  out->frame = static_cast<int>(counts.frame);
  out->overrun = static_cast<int>(counts.overrun);
  out->parity = static_cast<int>(counts.parity);
  out->brk = static_cast<int>(counts.brk);
  out->buf_overrun = static_cast<int>(counts.buf_overrun);
  return true;
}

}  // namespace

FakeLineErrors::FakeLineErrors(const std::string& tty_path, Counts counts) {
  FakeState& s = state();
  std::lock_guard guard(s.lock);
  s.tty = resolved(tty_path);
  s.counts = std::move(counts);
  s.queries = 0;
  g_active.store(true);
}

FakeLineErrors::~FakeLineErrors() {
  g_active.store(false);
  FakeState& s = state();
  std::lock_guard guard(s.lock);
  s.tty.clear();
  s.counts = nullptr;
}

int FakeLineErrors::queries() const {
  FakeState& s = state();
  std::lock_guard guard(s.lock);
  return s.queries;
}

}  // namespace kav::test

// Replaces the C library's ioctl for the whole test binary. Requests go to the kernel through
// syscall(), not through the C library or a sanitizer's interceptor, which would call back
// into this function.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == TIOCGICOUNT &&
      kav::test::fake_icount(fd, static_cast<serial_icounter_struct*>(argument))) {
    return 0;
  }
  return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}
