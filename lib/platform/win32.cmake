# The library on Windows (included from lib/CMakeLists.txt with KAV_LIB_SOURCES set to the
# Windows build's sources).

# The default NV item database travels as a resource of type UMTS_KAV_LIB_DEFAULT_DB, id 28544,
# compiled by windres into every module that carries the library, found with FindResourceA.
set(KAV_RESOURCE_SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/umts_kav_lib.rc)
file(WRITE ${KAV_RESOURCE_SCRIPT}
  "28544 UMTS_KAV_LIB_DEFAULT_DB \"${CMAKE_CURRENT_SOURCE_DIR}/nv/default_nvi_db.txt\"\n")
set_property(SOURCE ${KAV_RESOURCE_SCRIPT} APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/nv/default_nvi_db.txt)

set(KAV_WIN32_LIBS setupapi advapi32 user32 shell32 ole32)

# One compilation feeds the static library (the programs and tests link it) and the DLL, which
# exports the public operations listed in lib/umts_kav.def and nothing else; the programs that
# link the static library export none of them.
add_library(umts_kav_objects OBJECT ${KAV_LIB_SOURCES})
target_compile_definitions(umts_kav_objects PUBLIC UMTS_KAV_STATIC WIN32_LEAN_AND_MEAN NOMINMAX
                                                   _WIN32_WINNT=0x0601)
target_include_directories(umts_kav_objects PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(umts_kav_objects PUBLIC Threads::Threads pugixml::pugixml)

add_library(umts_kav_lib STATIC $<TARGET_OBJECTS:umts_kav_objects>)
target_include_directories(umts_kav_lib PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(umts_kav_lib INTERFACE UMTS_KAV_STATIC)
target_link_libraries(umts_kav_lib PUBLIC Threads::Threads pugixml::pugixml ${KAV_WIN32_LIBS})
# A program linking the library statically carries the resource itself.
target_sources(umts_kav_lib INTERFACE ${KAV_RESOURCE_SCRIPT})

# umts_kav_lib.dll, its import library libumts_kav_lib.dll.a, and the public header beside them.
add_library(umts_kav SHARED $<TARGET_OBJECTS:umts_kav_objects> ${KAV_RESOURCE_SCRIPT}
                            ${CMAKE_CURRENT_SOURCE_DIR}/umts_kav.def)
set_target_properties(umts_kav PROPERTIES
  OUTPUT_NAME umts_kav_lib
  PREFIX ""
  PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/umts_kav/umts_kav_lib.h)
target_link_libraries(umts_kav PRIVATE Threads::Threads pugixml::pugixml ${KAV_WIN32_LIBS})
target_link_options(umts_kav PRIVATE "LINKER:--no-undefined")
configure_file(${PROJECT_SOURCE_DIR}/include/umts_kav/umts_kav_lib.h
               ${CMAKE_CURRENT_BINARY_DIR}/include/umts_kav/umts_kav_lib.h COPYONLY)
target_include_directories(umts_kav INTERFACE
  $<BUILD_INTERFACE:${CMAKE_CURRENT_BINARY_DIR}/include>)
