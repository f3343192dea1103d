# kav_system_sources(<list variable>): keeps the sources of the system being built. A
# <name>_win32.cc answers on Windows what <name>.cc answers on Linux: on Windows each Linux side
# that has a Windows side beside it gives way to it; elsewhere the Windows sides go.
function(kav_system_sources sources_var)
  set(sources ${${sources_var}})
  if(WIN32)
    foreach(source IN LISTS sources)
      if(source MATCHES "_win32\\.cc$")
        string(REGEX REPLACE "_win32\\.cc$" ".cc" linux_side "${source}")
        list(REMOVE_ITEM sources "${linux_side}")
      endif()
    endforeach()
  else()
    list(FILTER sources EXCLUDE REGEX "_win32\\.cc$")
  endif()
  set(${sources_var} ${sources} PARENT_SCOPE)
endfunction()
