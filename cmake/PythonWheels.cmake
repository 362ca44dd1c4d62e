# The mifarezub wheels in the packages (bindings/python/make_wheels.py, with
# Debian's python3-build and python3-wheel): CPack runs cmake/PackWheels.cmake,
# which writes the pure wheel beside the Debian packages (Install.cmake) and
# all three wheels into the Windows ZIP's python/ folder, the Windows ones
# holding the very DLLs the ZIP ships (Packaging.cmake). Included by both.

# A python3 that can build wheels offline (one earlier on PATH may lack them).
function(mz_python_builds_wheels result candidate)
  execute_process(COMMAND ${candidate} -c "import build, wheel"
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

if(NOT MZ_WHEEL_PYTHON)
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.25)
    find_program(MZ_WHEEL_PYTHON NAMES python3 VALIDATOR mz_python_builds_wheels)
  else()
    find_program(MZ_WHEEL_PYTHON NAMES python3)
    if(MZ_WHEEL_PYTHON)
      set(_ok TRUE)
      mz_python_builds_wheels(_ok ${MZ_WHEEL_PYTHON})
      if(NOT _ok)
        unset(MZ_WHEEL_PYTHON CACHE)
      endif()
    endif()
  endif()
endif()
# Only packing needs it: without one, cpack says what to install.
if(NOT MZ_WHEEL_PYTHON)
  message(STATUS "No python3 with build and wheel: cpack will ask for Debian's "
    "python3-build and python3-wheel (scripts/deps.sh)")
endif()
set(CPACK_MZ_WHEEL_PYTHON "${MZ_WHEEL_PYTHON}")
set(CPACK_MZ_MAKE_WHEELS ${PROJECT_SOURCE_DIR}/bindings/python/make_wheels.py)
