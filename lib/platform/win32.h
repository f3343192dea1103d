// What the Windows side of the platform layer shares between its files: the module that holds
// the library (the DLL, or the program that links it statically), and the translation of
// Windows error codes into the layer's error codes. Only *_win32.cc files include it.
//
// Threading: any thread.
#pragma once

#include <windows.h>

#include <string>

namespace kav::platform::win32 {

// The module that holds this code: the handle the DLL's entry point was given, else (a program
// linking the library statically) the module that contains this function.
HMODULE this_module();
void set_this_module(HMODULE module);

// The layer's code for a Windows error: the errno value the code above the layer tests for
// (ENOENT, EACCES, EBUSY, EEXIST, ...), the Windows codes that lib/platform/error.h names as
// they are, and any other Windows code marked with kWindowsCodeBit so that it never passes for
// an errno value.
int error_of(DWORD windows_error);

// Sets the calling thread's last error from GetLastError() and returns it.
int capture_last_error();

constexpr int kWindowsCodeBit = 0x20000000;

// `text` with every '\' turned into '/', the separator the layer's callers split paths at.
std::string forward_slashes(std::string text);

}  // namespace kav::platform::win32
