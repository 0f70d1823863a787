# The installed headers include only the standard library and each other: no system serial,
# registry or POSIX header, nothing of Windows. Run by ctest:
#   cmake -DHEADERS=<include folder> -P cmake/check-headers.cmake
file(GLOB_RECURSE headers ${HEADERS}/*.h)
if(NOT headers)
  message(FATAL_ERROR "no headers under ${HEADERS}")
endif()
set(failed "")
foreach(header ${headers})
  file(STRINGS ${header} includes REGEX "^[ \t]*#[ \t]*include[ \t]*<")
  foreach(line ${includes})
    # A standard C++ header is one word: <cstdint>, <istream>; <unistd.h>, <sys/...> are not.
    if(NOT line MATCHES "include[ \t]*<[a-z_]+>")
      list(APPEND failed "${header}: ${line}")
    endif()
  endforeach()
endforeach()
if(failed)
  list(JOIN failed "\n  " failed)
  message(FATAL_ERROR "installed headers include more than the standard library:\n  ${failed}")
endif()
