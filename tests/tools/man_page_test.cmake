# Installs the manual page into a prefix inside the build tree and checks it
# lands in man1 and formats without warnings.
#   cmake -DBUILD=<build tree> -DPREFIX=<prefix> -DMANDIR=<relative> -P man_page_test.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --component zubtool_manual
                        --prefix ${PREFIX}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install of the manual failed: ${status}")
endif()
set(page ${PREFIX}/${MANDIR}/man1/zubtool.1)
if(NOT EXISTS ${page})
  message(FATAL_ERROR "the manual page is not at ${page}")
endif()
find_program(GROFF groff)
if(GROFF)
  execute_process(COMMAND ${GROFF} -man -Tutf8 -ww -z ${page}
                  RESULT_VARIABLE status ERROR_VARIABLE warnings)
  if(NOT status EQUAL 0 OR warnings)
    message(FATAL_ERROR "groff finds fault with the manual page: ${warnings}")
  endif()
endif()
file(READ ${page} text)
foreach(command scan dump restore keys acl read write value format mad ndef help ui)
  if(NOT text MATCHES "\\.BR ${command} ")
    message(FATAL_ERROR "the manual page does not describe '${command}'")
  endif()
endforeach()
message(STATUS "manual page installed at ${page}")
