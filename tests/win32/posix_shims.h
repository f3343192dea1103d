// The few POSIX calls that the shared test helpers (tests/support/test_env.cc) use and the
// Windows C runtime lacks, for the test build under Wine. Force-included into those helpers.
#pragma once

#include <direct.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

inline char* mkdtemp(char* pattern) {
  if (_mktemp_s(pattern, strlen(pattern) + 1) != 0) return nullptr;
  if (_mkdir(pattern) != 0) return nullptr;
  return pattern;
}

inline int setenv(const char* name, const char* value, int /*overwrite*/) {
  return _putenv_s(name, value);
}

// An empty value removes the variable from the C runtime's environment.
inline int unsetenv(const char* name) {
  return _putenv_s(name, "");
}
