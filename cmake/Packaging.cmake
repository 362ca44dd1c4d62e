# The Windows package: what `cmake --install` lays out and what CPack packs
# into the ZIP: the library, its header and export list, import libraries for
# MinGW and MSVC, the bindings, zubtool, and the virtual reader in a folder of
# its own. (The native install and Debian packages: cmake/Install.cmake.)
#
# Every binary goes into a folder of its width, x86/ or x64/ (the
# layout of .NET's runtimes/win-x86/native and most SDKs):
#   x86/, x64/        MifareZUB.dll, zubtool.exe, libMifareZUB.dll.a (MinGW),
#                     MifareZUB.lib (MSVC), MifareZUB.def
#   x86/virtual-reader/  CH375DLL.dll and its README
#   x64/virtual-reader/  CH375DLL64.dll and its README
# and, for both:
#   include/          MifareZUB.h
#   python/           the mifarezub package and its pyproject.toml, and its
#                     wheels: py3-none-any, win32 and win_amd64 (with the
#                     x86/ and x64/ MifareZUB.dll)
#   pascal/           the MifareZUB unit and its sample
#   dotnet/           the C# binding as one source file and its sample
#   vb/               the VB6/VBA module, its sample and README
#   LICENSE           the licence (MIT)
# Each folder's README is the package's own (packaging/zip/), naming only
# what the package holds.
#   sample/           a C host
#
# The Windows package is one ZIP with both widths, made by the 32-bit build
# from its own tree and the 64-bit build's (MZ_PACKAGE_X64_BUILD, by default
# build/windows64): build the windows64 preset first, then
# cmake --build --preset windows --target package (scripts/package.sh).

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_arch x64)
else()
  set(_arch x86)
endif()
set(_bin ${_arch})
set(_lib ${_arch})
set(_sim ${_arch}/virtual-reader)

install(TARGETS MifareZUB
  RUNTIME DESTINATION ${_bin}
  LIBRARY DESTINATION lib
  ARCHIVE DESTINATION ${_lib})
install(FILES ${PROJECT_SOURCE_DIR}/include/MifareZUB.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/api/MifareZUB.def DESTINATION ${_lib})
install(TARGETS zubtool RUNTIME DESTINATION ${_bin})

if(TARGET ch375_sim)
  install(TARGETS ch375_sim
    RUNTIME DESTINATION ${_sim}
    LIBRARY DESTINATION ${_sim})
  # The source tree's sim/README.md describes the sources and the test API;
  # the package's folder gets a README about what it holds.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/virtual-reader.md DESTINATION ${_sim}
    RENAME README.md)
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
    PATTERN build EXCLUDE
    PATTERN .mypy_cache EXCLUDE
    PATTERN CMakeLists.txt EXCLUDE
    PATTERN README.md EXCLUDE
    # The wheels are built for the ZIP (cmake/PackWheels.cmake): their
    # builder and its test stay in the sources.
    PATTERN make_wheels.py EXCLUDE
    PATTERN wheel_test.py EXCLUDE)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/zip/python.md DESTINATION python RENAME README.md)
else()
  message(WARNING "bindings/python/mifarezub is missing: the package will lack the Python binding")
endif()
if(EXISTS ${_bindings}/pascal/MifareZUB.pas)
  install(DIRECTORY ${_bindings}/pascal/ DESTINATION pascal
    PATTERN tests EXCLUDE
    PATTERN "*.o" EXCLUDE
    PATTERN "*.ppu" EXCLUDE
    PATTERN "*.cmake" EXCLUDE
    PATTERN CMakeLists.txt EXCLUDE
    PATTERN README.md EXCLUDE)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/zip/pascal.md DESTINATION pascal RENAME README.md)
else()
  message(WARNING "bindings/pascal/MifareZUB.pas is missing: the package will lack the Pascal unit")
endif()

# C#: the binding as one source file (made from its parts, as its package
# script makes it), its README and its sample.
if(EXISTS ${_bindings}/dotnet/make-single-file.py)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  file(GLOB _cs_parts ${_bindings}/dotnet/*.cs)
  set(_cs_single ${CMAKE_BINARY_DIR}/dotnet/MifareZub.cs)
  add_custom_command(OUTPUT ${_cs_single}
    COMMAND Python3::Interpreter ${_bindings}/dotnet/make-single-file.py ${_cs_single}
    DEPENDS ${_cs_parts} ${_bindings}/dotnet/MifareZub.csproj ${_bindings}/dotnet/make-single-file.py
    COMMENT "C# binding as one source file: MifareZub.cs"
    VERBATIM)
  add_custom_target(dotnet_single_file ALL DEPENDS ${_cs_single})
  # The repository's README names the parts and the project file; the
  # package's describes the package's own folder.
  install(FILES ${_cs_single} DESTINATION dotnet)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/zip/dotnet.md DESTINATION dotnet RENAME README.md)
  install(FILES ${_bindings}/dotnet/sample/Sample.cs DESTINATION dotnet/sample)
else()
  message(WARNING "bindings/dotnet is missing: the package will lack the C# binding")
endif()

# VB6 and VBA: the module, its sample and its README (CRLF, as VB reads them).
install(FILES ${_bindings}/vb/MifareZUB.bas ${_bindings}/vb/sample.bas ${_bindings}/vb/README.md
  DESTINATION vb)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

if(WIN32 AND NOT MSVC)
  # MSVC links COFF import libraries such as dlltool makes. On x86, hosts
  # compiled against MifareZUB.h refer to the stdcall symbols (_OpenComm@8,
  # ...), so the library is made from the decorated export list that the DLL's
  # build writes next to its objects (cmake/StdcallImportLib.cmake);
  # --kill-at binds each to the plain name the DLL exports. On x64 names carry
  # no decoration and the export list serves as it is.
  set(_msvc_lib ${CMAKE_BINARY_DIR}/lib/MifareZUB.lib)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_msvc_def ${PROJECT_SOURCE_DIR}/api/MifareZUB.def)
    set(_msvc_kill)
  else()
    set(_msvc_def ${CMAKE_BINARY_DIR}/api/stdcall.def)
    set(_msvc_kill --kill-at)
  endif()
  add_custom_command(OUTPUT ${_msvc_lib}
    COMMAND ${CMAKE_DLLTOOL} ${_msvc_kill} -d ${_msvc_def} -D MifareZUB.dll -l ${_msvc_lib}
    DEPENDS MifareZUB ${PROJECT_SOURCE_DIR}/api/MifareZUB.def
    COMMENT "Import library for MSVC: MifareZUB.lib"
    VERBATIM)
  add_custom_target(msvc_import_library ALL DEPENDS ${_msvc_lib})
  install(FILES ${_msvc_lib} DESTINATION ${_lib})
endif()

set(CPACK_PACKAGE_NAME MifareZUB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MifareZUB: MIFARE Classic USB card reader library")
set(CPACK_GENERATOR ZIP)
# Named for both widths it holds.
set(CPACK_PACKAGE_FILE_NAME MifareZUB-${PROJECT_VERSION}-windows-x86-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
if(WIN32 AND NOT MSVC AND _arch STREQUAL "x86")
  set(MZ_PACKAGE_X64_BUILD ${PROJECT_SOURCE_DIR}/build/windows64 CACHE PATH
    "The 64-bit Windows build tree whose x64/ folder goes into the package")
  # CPack installs both trees into one staging folder: each puts its binaries
  # into its own width's folder, and the files they share are the same.
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/"
    "${MZ_PACKAGE_X64_BUILD};${PROJECT_NAME};ALL;/")
  # Without a built x64 tree the package would silently lack a width.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackCheckWidths.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
    "if(NOT EXISTS \"${MZ_PACKAGE_X64_BUILD}/bin/MifareZUB.dll\")\n"
    "  message(FATAL_ERROR \"The package holds both widths, but ${MZ_PACKAGE_X64_BUILD} \"\n"
    "    \"has no 64-bit MifareZUB.dll: build the windows64 preset first (scripts/package.sh).\")\n"
    "endif()\n")
endif()
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# The wheels go into python/ as CPack stages the ZIP (cmake/PackWheels.cmake):
# the pure one and one per width holding the staged x86/ or x64/ DLL.
include(${PROJECT_SOURCE_DIR}/cmake/PythonWheels.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackWheels.cmake)
include(CPack)

# The package test: unpack the ZIP, build a C host of each width against it
# with MinGW and run it under Wine with that width's packaged virtual reader.
# The package is the 32-bit build's, so the test is registered there.
if(WIN32 AND NOT MSVC AND _arch STREQUAL "x86" AND MZ_BUILD_TESTS
   AND CMAKE_CROSSCOMPILING_EMULATOR)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  find_program(MZ_X64_CC x86_64-w64-mingw32-gcc-posix)
  find_program(MZ_X64_NM x86_64-w64-mingw32-nm)
  if(NOT MZ_X64_CC OR NOT MZ_X64_NM)
    message(FATAL_ERROR "The package test builds the sample for x64 too: "
      "install Debian's g++-mingw-w64-x86-64 (scripts/deps.sh)")
  endif()
  # The interpreter goes in by path: as a target it would be run through the
  # cross-compiling emulator.
  add_test(NAME Package.WindowsZip
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/package/package_test.py
      --cpack ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
      --cc ${CMAKE_C_COMPILER} --nm ${CMAKE_NM} --cc64 ${MZ_X64_CC} --nm64 ${MZ_X64_NM}
      --wine ${CMAKE_CROSSCOMPILING_EMULATOR}
      --version ${PROJECT_VERSION} --source ${PROJECT_SOURCE_DIR})
  set_tests_properties(Package.WindowsZip PROPERTIES
    ENVIRONMENT "WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml="
    RUN_SERIAL TRUE)
endif()
