# Writes a MinGW import library for a DLL whose stdcall exports carry plain
# names. Hosts compiled against the header refer to _OpenComm@8 and its
# siblings; the linker's own import library would offer only _OpenComm. So the
# export list (names and ordinals, undecorated) is paired with the argument
# sizes found in the DLL's object files, and dlltool --kill-at builds the
# import library from the result.
#
# cmake -DNM=... -DDLLTOOL=... -DDEF=list.def -DDLL_NAME=X.dll -DOUT=libX.dll.a
#       -DWORK=dir -DOBJECTS="a.obj;b.obj" -P StdcallImportLib.cmake
execute_process(COMMAND ${NM} --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols
                COMMAND_ERROR_IS_FATAL ANY)
file(STRINGS ${DEF} lines)
set(out "LIBRARY ${DLL_NAME}\nEXPORTS\n")
set(in_exports FALSE)
foreach(line IN LISTS lines)
  string(REGEX REPLACE ";.*" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)$")
    set(name ${CMAKE_MATCH_1})
    set(ordinal ${CMAKE_MATCH_2})
    if(NOT symbols MATCHES " T _${name}@([0-9]+)\n")
      message(FATAL_ERROR "no stdcall definition of ${name} in ${OBJECTS}")
    endif()
    string(APPEND out "${name}@${CMAKE_MATCH_1} @${ordinal}\n")
  endif()
endforeach()
file(WRITE ${WORK}/stdcall.def "${out}")
execute_process(COMMAND ${DLLTOOL} -k -d ${WORK}/stdcall.def -D ${DLL_NAME} -l ${OUT}
                COMMAND_ERROR_IS_FATAL ANY)
