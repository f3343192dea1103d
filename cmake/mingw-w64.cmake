# The part of the MinGW-w64 toolchain files shared by both word sizes; KAV_MINGW_TRIPLET names
# the target.
set(CMAKE_SYSTEM_NAME Windows)
if(KAV_MINGW_TRIPLET MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()
set(CMAKE_C_COMPILER ${KAV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KAV_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KAV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs carry the GCC and thread runtimes inside them, so that they run from any
# directory without the toolchain's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
