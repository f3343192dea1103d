# What the Windows build takes instead of the Linux build's system packages:
#  - pugixml compiled from its source (Debian ships only headers and a Linux library; the
#    source comes from Debian's source package, which scripts/deps.sh --win unpacks), given as
#    KAV_PUGIXML_SOURCE_DIR, the folder holding pugixml.cpp;
#  - GoogleTest compiled from Debian's googletest package (/usr/src/googletest);
#  - nlohmann-json (kav each and kav station), header-only, from Debian's nlohmann-json3-dev;
#  - no OpenSSL: MD5 comes from Windows' own cryptography API (lib/platform/digest_win32.cc).
enable_language(RC)
enable_language(C)
# printf and its kin as C99 has them (%zu, %lld) rather than the system C runtime's.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
# GCC checks printf-like formats here against the system C runtime's language, which lacks %zu;
# the formats are checked by the Linux build, against the language the code uses.
add_compile_options(-Wno-format)
# Release modules carry no symbol tables: the DLL and the programs are what users copy around.
add_link_options($<$<CONFIG:Release>:-s>)
set(KAV_PUGIXML_SOURCE_DIR "${PROJECT_SOURCE_DIR}/.win-deps/pugixml/src" CACHE PATH
    "The folder holding pugixml.cpp")
if(NOT EXISTS ${KAV_PUGIXML_SOURCE_DIR}/pugixml.cpp)
  message(FATAL_ERROR "No pugixml.cpp in ${KAV_PUGIXML_SOURCE_DIR} (KAV_PUGIXML_SOURCE_DIR): "
                      "run scripts/deps.sh --win, which unpacks Debian's pugixml source")
endif()
add_library(kav_pugixml STATIC ${KAV_PUGIXML_SOURCE_DIR}/pugixml.cpp)
target_include_directories(kav_pugixml SYSTEM PUBLIC ${KAV_PUGIXML_SOURCE_DIR})
target_compile_options(kav_pugixml PRIVATE -w)
add_library(pugixml::pugixml ALIAS kav_pugixml)

# nlohmann-json's headers are reached through a folder of the build that holds nothing but a
# link named nlohmann to Debian's /usr/include/nlohmann: an include path of /usr/include itself
# would let the Linux system headers into the cross build.
set(KAV_NLOHMANN_JSON_DIR /usr/include/nlohmann CACHE PATH
    "The folder holding nlohmann-json's json.hpp (Debian's nlohmann-json3-dev)")
if(NOT EXISTS ${KAV_NLOHMANN_JSON_DIR}/json.hpp)
  message(FATAL_ERROR "No json.hpp in ${KAV_NLOHMANN_JSON_DIR} (KAV_NLOHMANN_JSON_DIR): "
                      "install Debian's nlohmann-json3-dev")
endif()
set(KAV_NLOHMANN_JSON_INCLUDE ${PROJECT_BINARY_DIR}/nlohmann-json-include)
file(MAKE_DIRECTORY ${KAV_NLOHMANN_JSON_INCLUDE})
file(CREATE_LINK ${KAV_NLOHMANN_JSON_DIR} ${KAV_NLOHMANN_JSON_INCLUDE}/nlohmann SYMBOLIC)
add_library(kav_nlohmann_json INTERFACE)
target_include_directories(kav_nlohmann_json SYSTEM INTERFACE ${KAV_NLOHMANN_JSON_INCLUDE})
add_library(nlohmann_json::nlohmann_json ALIAS kav_nlohmann_json)

if(KAV_BUILD_TESTS)
  set(KAV_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest's source (Debian's googletest)")
  if(NOT EXISTS ${KAV_GOOGLETEST_DIR}/CMakeLists.txt)
    message(FATAL_ERROR
            "No GoogleTest source in ${KAV_GOOGLETEST_DIR}: install Debian's googletest")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KAV_GOOGLETEST_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own build names its targets GTest::gtest, GTest::gmock, ... as well.
  foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -w)
  endforeach()
endif()
