// The entry point of umts_kav_lib.dll. The system's loader calls it under its loader lock, where
// starting and waiting for threads, or loading other modules, can deadlock; so it only keeps the
// DLL's module handle (for its resources and its file name) and turns off the per-thread calls.
// The library itself is attached and detached by the host, as everywhere
// (umts_kav_lib_attach(1) and umts_kav_lib_detach in include/umts_kav/umts_kav_lib.h).
#include <windows.h>

#include "lib/platform/win32.h"

namespace kav::platform::win32 {

namespace {
HMODULE g_module = nullptr;
}  // namespace

void set_this_module(HMODULE module) {
  g_module = module;
}

HMODULE this_module() {
  if (g_module != nullptr) return g_module;
  HMODULE module = nullptr;
  // A program that links the library statically has no entry call: the module is the one
  // holding this function.
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&this_module), &module)) {
    return module;
  }
  return GetModuleHandleA(nullptr);
}

}  // namespace kav::platform::win32

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    kav::platform::win32::set_this_module(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
