# What `cmake --install` lays out and what CPack packs: the library, its
# header and export list, import libraries for MinGW and MSVC, the bindings,
# zubtool, and the virtual reader in a folder of its own.
#
#   bin/              MifareZUB.dll (libMifareZUB.so natively in lib/), zubtool
#   include/          MifareZUB.h
#   lib/              libMifareZUB.dll.a (MinGW), MifareZUB.lib (MSVC), MifareZUB.def
#   python/           the mifarezub package and its pyproject.toml
#   pascal/           the MifareZUB unit and its sample
#   sample/           a C host
#   virtual-reader/   CH375DLL.dll / libCH375DLL.so and its README
#
# The Windows package is a ZIP: cmake --build --preset windows --target package

install(TARGETS MifareZUB
  RUNTIME DESTINATION bin
  LIBRARY DESTINATION lib
  ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/MifareZUB.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/api/MifareZUB.def DESTINATION lib)
install(TARGETS zubtool RUNTIME DESTINATION bin)

if(TARGET ch375_sim)
  install(TARGETS ch375_sim
    RUNTIME DESTINATION virtual-reader
    LIBRARY DESTINATION virtual-reader)
  install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION virtual-reader)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sample/host.c DESTINATION sample)

# The bindings, as their sources stand.
set(_bindings ${PROJECT_SOURCE_DIR}/bindings)
if(EXISTS ${_bindings}/python/mifarezub)
  install(DIRECTORY ${_bindings}/python/ DESTINATION python
    PATTERN tests EXCLUDE
    PATTERN __pycache__ EXCLUDE
    PATTERN .pytest_cache EXCLUDE
    PATTERN "*.pyc" EXCLUDE
    PATTERN "*.egg-info" EXCLUDE
    PATTERN CMakeLists.txt EXCLUDE)
else()
  message(WARNING "bindings/python/mifarezub is missing: the package will lack the Python binding")
endif()
if(EXISTS ${_bindings}/pascal/MifareZUB.pas)
  install(DIRECTORY ${_bindings}/pascal/ DESTINATION pascal
    PATTERN tests EXCLUDE
    PATTERN "*.o" EXCLUDE
    PATTERN "*.ppu" EXCLUDE
    PATTERN "*.cmake" EXCLUDE
    PATTERN CMakeLists.txt EXCLUDE)
else()
  message(WARNING "bindings/pascal/MifareZUB.pas is missing: the package will lack the Pascal unit")
endif()

if(WIN32 AND NOT MSVC)
  # MSVC links COFF import libraries such as dlltool makes. Hosts compiled
  # against MifareZUB.h refer to the stdcall symbols (_OpenComm@8, ...), so the
  # library is made from the decorated export list that the DLL's build writes
  # next to its objects (cmake/StdcallImportLib.cmake); --kill-at binds each
  # to the plain name the DLL exports.
  set(_msvc_lib ${CMAKE_BINARY_DIR}/lib/MifareZUB.lib)
  add_custom_command(OUTPUT ${_msvc_lib}
    COMMAND ${CMAKE_DLLTOOL} --kill-at -d ${CMAKE_BINARY_DIR}/api/stdcall.def -D MifareZUB.dll
      -l ${_msvc_lib}
    DEPENDS MifareZUB
    COMMENT "Import library for MSVC: MifareZUB.lib"
    VERBATIM)
  add_custom_target(msvc_import_library ALL DEPENDS ${_msvc_lib})
  install(FILES ${_msvc_lib} DESTINATION lib)
endif()

set(CPACK_PACKAGE_NAME MifareZUB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MifareZUB: MIFARE Classic USB card reader library")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME MifareZUB-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME MifareZUB-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME})
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)

# The package test: unpack the ZIP, build a C host against it with MinGW and
# run it under Wine with the packaged virtual reader.
if(WIN32 AND NOT MSVC AND MZ_BUILD_TESTS AND CMAKE_CROSSCOMPILING_EMULATOR)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME Package.WindowsZip
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/package/package_test.py
      --cpack ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
      --cc ${CMAKE_C_COMPILER} --nm ${CMAKE_NM} --wine ${CMAKE_CROSSCOMPILING_EMULATOR}
      --version ${PROJECT_VERSION} --source ${PROJECT_SOURCE_DIR})
  set_tests_properties(Package.WindowsZip PROPERTIES
    ENVIRONMENT "WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml="
    RUN_SERIAL TRUE)
endif()
