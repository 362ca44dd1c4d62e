# CPack runs this on its staging tree before it packs: Debian wants manual
# pages compressed with gzip -9n (no name, no time stamp).
file(GLOB_RECURSE _pages "${CPACK_TEMPORARY_DIRECTORY}/*.[1-9]")
list(FILTER _pages INCLUDE REGEX "/share/man/man[1-9]/[^/]+$")
foreach(_page IN LISTS _pages)
  execute_process(COMMAND gzip -9nf "${_page}" RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${_page}: ${_status}")
  endif()
endforeach()
