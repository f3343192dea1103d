// A fake of the serial driver's line-error counters (TIOCGICOUNT) for pseudo-terminals, which
// have none. The test binary defines its own ioctl (see fake_line_errors.cc): it answers
// TIOCGICOUNT for descriptors open on the tty a FakeLineErrors names, from a counter function
// the test supplies, and passes every other request to the kernel unchanged. With no
// FakeLineErrors alive it is a plain pass-through.
//
// The object file is linked into a test binary only when the binary uses FakeLineErrors, so
// other tests never see the interposed ioctl.
//
// Threading: one FakeLineErrors at a time; ioctl may be called from any thread while it lives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "lib/platform/serial.h"

namespace kav::test {

class FakeLineErrors {
 public:
  // `counts(n)` gives the cumulative counters for the n-th query (from 1) on `tty_path`
  // (symbolic links are resolved). Descriptors opened on that tty before or after construction
  // both see the fake.
  using Counts = std::function<platform::LineErrorCounts(int query)>;
  FakeLineErrors(const std::string& tty_path, Counts counts);
  ~FakeLineErrors();
  FakeLineErrors(const FakeLineErrors&) = delete;
  FakeLineErrors& operator=(const FakeLineErrors&) = delete;

  // The number of TIOCGICOUNT queries answered so far.
  int queries() const;
};

}  // namespace kav::test
