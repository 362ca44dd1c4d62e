# CPack runs this script to put the mifarezub wheels into what it packs
# (cmake/PythonWheels.cmake sets the interpreter and make_wheels.py):
#
# - after packing (CPACK_POST_BUILD_SCRIPTS, the Debian packages): the pure
#   wheel, py3-none-any, is written into the folder that holds the packages;
# - before packing (CPACK_PRE_BUILD_SCRIPTS, the Windows ZIP): all three
#   wheels go into the staging tree's python/ folder, each Windows wheel
#   made from the DLL of its width that the staging tree holds (x86/, x64/),
#   so the ZIP's wheels hold the very DLLs the ZIP ships.
if(NOT CPACK_MZ_WHEEL_PYTHON)
  message(FATAL_ERROR "The packages hold the Python wheels, and no python3 with build and "
    "wheel was found: install Debian's python3-build and python3-wheel (scripts/deps.sh), "
    "then configure again")
endif()

set(_args)
if(DEFINED CPACK_PACKAGE_FILES)
  # CPACK_PACKAGE_FILES still lie in the staging tree here; they are copied to
  # CPACK_PACKAGE_DIRECTORY (cpack -B) after this script.
  set(_out "${CPACK_PACKAGE_DIRECTORY}")
else()
  set(_root "${CPACK_TEMPORARY_DIRECTORY}")
  if(NOT EXISTS "${_root}/x86" AND EXISTS "${_root}/${CPACK_PACKAGE_FILE_NAME}/x86")
    set(_root "${_root}/${CPACK_PACKAGE_FILE_NAME}")
  endif()
  set(_out "${_root}/python")
  foreach(_pair "win32;x86" "win_amd64;x64")
    list(GET _pair 0 _tag)
    list(GET _pair 1 _width)
    if(NOT EXISTS "${_root}/${_width}/MifareZUB.dll")
      message(FATAL_ERROR "The package has no ${_width}/MifareZUB.dll for its ${_tag} wheel")
    endif()
    list(APPEND _args --dll "${_tag}=${_root}/${_width}/MifareZUB.dll")
  endforeach()
endif()

execute_process(COMMAND "${CPACK_MZ_WHEEL_PYTHON}" "${CPACK_MZ_MAKE_WHEELS}" "${_out}" ${_args}
  RESULT_VARIABLE _status OUTPUT_VARIABLE _wheels ERROR_VARIABLE _errors)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "make_wheels.py failed (${_status}):\n${_wheels}${_errors}")
endif()
string(STRIP "${_wheels}" _wheels)
string(REPLACE "\n" ";" _wheels "${_wheels}")
set(_names)
foreach(_wheel IN LISTS _wheels)
  get_filename_component(_name "${_wheel}" NAME)
  list(APPEND _names ${_name})
endforeach()
list(JOIN _names ", " _names)
message(STATUS "CPack: Python wheels in ${_out}: ${_names}")
