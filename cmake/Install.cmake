# The native install: what `cmake --install` lays out under its prefix (and
# DESTDIR), and what `cpack -G DEB` packs. Every destination is relative to
# the prefix; nothing is written outside it.
#
#   lib/ (libdir)                   libMifareZUB.so.1.0.0, its soname link
#                                   libMifareZUB.so.1 and libMifareZUB.so;
#                                   libCH375DLL.so, the vendor calls over libusb
#   lib/pkgconfig/mifarezub.pc      pkg-config
#   lib/cmake/MifareZUB/            find_package(MifareZUB): MifareZUB::MifareZUB
#   lib/mifarezub/virtual-reader/   the virtual reader's libCH375DLL.so
#   lib/udev/rules.d/               70-mifarezub.rules (docs/linux.md: where
#                                   udev reads it)
#   include/                        MifareZUB.h
#   bin/                            zubtool
#   share/man/man1/                 zubtool.1
#   share/doc/mifarezub/            README.md (packaging/linux/README.md: the
#                                   installed tree's own) and the guides in docs/
#   share/mifarezub/                python/, pascal/, dotnet/ bindings, samples/
#                                   (demo.c and packaging/linux/sample/host.c)
#
# Components (the Debian packages they make):
#   runtime, development, zubtool_manual, tools, docs, pcsc  -> mifarezub
#   virtual_reader                                           -> mifarezub-virtual-reader
#   debian_main, debian_virtual_reader: Debian's changelog and copyright, in
#   the packages only (excluded from a plain cmake --install)
# The virtual reader has the same file name as the real vendor library, so it
# lives in a folder of its own and is taken only when a host asks for it
# (LD_LIBRARY_PATH): a machine with a real reader never picks it up by chance.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MZ_PKG_DATADIR ${CMAKE_INSTALL_DATADIR}/mifarezub)
set(MZ_PKG_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/mifarezub)
set(MZ_SIM_LIBDIR ${CMAKE_INSTALL_LIBDIR}/mifarezub/virtual-reader)
set(MZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MifareZUB)
set(MZ_INSTALL_UDEVRULESDIR lib/udev/rules.d CACHE STRING
  "Where cmake --install puts the udev rules, relative to the prefix")
if(IS_ABSOLUTE "${MZ_INSTALL_UDEVRULESDIR}")
  message(FATAL_ERROR "MZ_INSTALL_UDEVRULESDIR must be relative to the install prefix: "
    "an install never writes outside it (docs/linux.md: installing the rules for udev)")
endif()

# The soname carries the major version: a host built against 1.x loads any
# later 1.x.
set_target_properties(MifareZUB PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# Installed programs and the library find the libraries of the libdir; the
# library its libCH375DLL.so beside it.
file(RELATIVE_PATH _bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(zubtool PROPERTIES INSTALL_RPATH "\$ORIGIN/${_bin_to_lib}")
set_target_properties(MifareZUB PROPERTIES INSTALL_RPATH "\$ORIGIN")

install(TARGETS MifareZUB
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP)
install(TARGETS MifareZUB
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development NAMELINK_ONLY)
if(TARGET ch375_libusb)
  install(TARGETS ch375_libusb LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/vendor/ch375_over_libusb/70-mifarezub.rules
    DESTINATION ${MZ_INSTALL_UDEVRULESDIR} COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/MifareZUB.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# pkg-config and the CMake package locate the prefix from their own folder,
# so a tree installed with DESTDIR, or unpacked from a package, works where it
# lies.
file(RELATIVE_PATH MZ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" MZ_PC_TO_PREFIX "${MZ_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/mifarezub.pc.in
  ${CMAKE_BINARY_DIR}/install/mifarezub.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/mifarezub.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

file(RELATIVE_PATH MZ_CMAKE_TO_PREFIX /${MZ_CMAKE_DIR} /)
string(REGEX REPLACE "/$" "" MZ_CMAKE_TO_PREFIX "${MZ_CMAKE_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/MifareZUBConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/MifareZUBConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/MifareZUBConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/MifareZUBConfig.cmake
  ${CMAKE_BINARY_DIR}/install/MifareZUBConfigVersion.cmake
  DESTINATION ${MZ_CMAKE_DIR} COMPONENT development)

install(TARGETS zubtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/tools/zubtool/zubtool.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zubtool_manual)

if(TARGET ch375_sim)
  install(TARGETS ch375_sim LIBRARY DESTINATION ${MZ_SIM_LIBDIR} COMPONENT virtual_reader)
  # sim/README.md describes the sources; the installed folder gets a page
  # about what is installed.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/virtual-reader.md
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/mifarezub-virtual-reader COMPONENT virtual_reader
    RENAME README.md)
endif()

# Guides, bindings as their sources stand, and sample hosts. The READMEs
# that land in the installed tree are written for it (packaging/linux/): the
# repository's name files and folders that are not installed. Every page the
# installed README links to is installed beside it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/README.md ${PROJECT_SOURCE_DIR}/docs/linux.md
  ${PROJECT_SOURCE_DIR}/docs/pcsc.md ${PROJECT_SOURCE_DIR}/docs/zubtool.md
  ${PROJECT_SOURCE_DIR}/docs/performance.md
  DESTINATION ${MZ_PKG_DOCDIR} COMPONENT docs)
# The licence, also where no Debian copyright file goes.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${MZ_PKG_DOCDIR} COMPONENT docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/ DESTINATION ${MZ_PKG_DATADIR}/python
  COMPONENT docs
  PATTERN tests EXCLUDE PATTERN __pycache__ EXCLUDE PATTERN .pytest_cache EXCLUDE
  PATTERN .mypy_cache EXCLUDE PATTERN build EXCLUDE PATTERN "*.pyc" EXCLUDE
  PATTERN "*.egg-info" EXCLUDE PATTERN CMakeLists.txt EXCLUDE PATTERN README.md EXCLUDE
  PATTERN make_wheels.py EXCLUDE PATTERN wheel_test.py EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/python.md DESTINATION ${MZ_PKG_DATADIR}/python
  COMPONENT docs RENAME README.md)
install(FILES ${PROJECT_SOURCE_DIR}/bindings/pascal/MifareZUB.pas
  ${PROJECT_SOURCE_DIR}/bindings/pascal/sample.pas
  DESTINATION ${MZ_PKG_DATADIR}/pascal COMPONENT docs)
# C#: the binding as one source file (as the Windows package has it: the
# project file of the sources reads the repository's VERSION), and its sample.
if(EXISTS ${PROJECT_SOURCE_DIR}/bindings/dotnet/make-single-file.py)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(_dotnet ${PROJECT_SOURCE_DIR}/bindings/dotnet)
  file(GLOB _cs_parts ${_dotnet}/*.cs)
  set(_cs_single ${CMAKE_BINARY_DIR}/dotnet/MifareZub.cs)
  add_custom_command(OUTPUT ${_cs_single}
    COMMAND Python3::Interpreter ${_dotnet}/make-single-file.py ${_cs_single}
    DEPENDS ${_cs_parts} ${_dotnet}/MifareZub.csproj ${_dotnet}/make-single-file.py
    COMMENT "C# binding as one source file: MifareZub.cs"
    VERBATIM)
  add_custom_target(dotnet_single_file ALL DEPENDS ${_cs_single})
  install(FILES ${_cs_single} DESTINATION ${MZ_PKG_DATADIR}/dotnet COMPONENT docs)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/dotnet.md DESTINATION ${MZ_PKG_DATADIR}/dotnet
    COMPONENT docs RENAME README.md)
  install(FILES ${_dotnet}/sample/Sample.cs DESTINATION ${MZ_PKG_DATADIR}/dotnet/sample
    COMPONENT docs)
endif()
# The samples are Linux programs (the Windows package has its own sample).
install(FILES ${PROJECT_SOURCE_DIR}/tools/demo.c ${PROJECT_SOURCE_DIR}/packaging/linux/sample/host.c
  DESTINATION ${MZ_PKG_DATADIR}/samples COMPONENT docs)

set(MZ_DEB_MAINTAINER "MifareZUB developers <mifarezub@example.org>" CACHE STRING
  "The Maintainer of the Debian packages and their changelog")
# What every Debian package carries in its doc folder: the copyright notice
# and a compressed changelog (gzip -9n: no name or time stamp, reproducible).
configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/changelog.in
  ${CMAKE_BINARY_DIR}/install/changelog @ONLY)
find_program(MZ_GZIP gzip REQUIRED)
execute_process(COMMAND ${MZ_GZIP} -9nc ${CMAKE_BINARY_DIR}/install/changelog
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/install/changelog.Debian.gz
  RESULT_VARIABLE _gzip_status)
if(NOT _gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip failed on the changelog: ${_gzip_status}")
endif()
# They are Debian's: a plain cmake --install (to /usr/local, /opt, ...) does
# not get them, as their components are excluded from it; cpack installs them
# into the packages by component.
foreach(_pair "debian_main;mifarezub" "debian_virtual_reader;mifarezub-virtual-reader")
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/copyright
    ${CMAKE_BINARY_DIR}/install/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${_component} EXCLUDE_FROM_ALL)
endforeach()

# ---- The Debian packages (cpack -G DEB) ------------------------------------
#   mifarezub                 everything but the virtual reader
#   mifarezub-virtual-reader  the virtual reader, for development and tests
# and beside them the pure Python wheel, mifarezub-<version>-py3-none-any.whl.
# Built from this tree: cpack -G DEB --config build/native/CPackConfig.cmake
set(CPACK_PACKAGE_NAME mifarezub)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "MifareZUB developers")
set(CPACK_PACKAGE_CONTACT "${MZ_DEB_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
foreach(_component runtime development zubtool_manual tools docs pcsc debian_main)
  string(TOUPPER ${_component} _upper)
  set(CPACK_COMPONENT_${_upper}_GROUP main)
endforeach()
set(CPACK_COMPONENT_VIRTUAL_READER_GROUP virtual_reader)
set(CPACK_COMPONENT_DEBIAN_VIRTUAL_READER_GROUP virtual_reader)
# Named, as the Debian components are excluded from the plain install.
set(CPACK_COMPONENTS_ALL runtime development zubtool_manual tools docs debian_main)
if(TARGET ifd-mifarezub)
  list(APPEND CPACK_COMPONENTS_ALL pcsc)
endif()
if(TARGET ch375_sim)
  list(APPEND CPACK_COMPONENTS_ALL virtual_reader debian_virtual_reader)
endif()
# Debian package names, file names (name_version_arch.deb) and contents.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file lets packages built against the library depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/linux/triggers)
# Debian ships binaries stripped and manual pages compressed (gzip -9n), in
# the package only: an install from the build tree keeps its debug data.
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/linux/CompressManPages.cmake)
# The pure Python wheel is written beside the packages (cmake/PackWheels.cmake):
# pip install --no-index mifarezub-<version>-py3-none-any.whl in any venv.
include(${PROJECT_SOURCE_DIR}/cmake/PythonWheels.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackWheels.cmake)
set(CPACK_DEBIAN_MAIN_PACKAGE_NAME mifarezub)
# The first line is the synopsis; CPack indents the rest, an empty line
# separates paragraphs.
set(CPACK_DEBIAN_MAIN_DESCRIPTION
  "MIFARE Classic USB card reader library
libMifareZUB drives a USB MIFARE Classic card reader whose USB chip is a
CH375-family chip: it finds and selects cards, authenticates, reads and
writes blocks, keeps value blocks and switches the reader's beeper and LEDs.

This package holds the library with the vendor calls over libusb, the header,
pkg-config and CMake files, the zubtool command-line tool, the udev rule that
gives the logged-in user access to the readers, and the bindings' sources.")
set(CPACK_DEBIAN_VIRTUAL_READER_PACKAGE_NAME mifarezub-virtual-reader)
set(CPACK_DEBIAN_VIRTUAL_READER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_VIRTUAL_READER_DESCRIPTION
  "Virtual MIFARE Classic reader for MifareZUB hosts
A libCH375DLL.so with a MIFARE Classic 1K or 4K card in software, for
developing and testing MifareZUB hosts without hardware. It is installed
apart from the system's library path and taken only by a program run with
LD_LIBRARY_PATH naming its folder.")
set(CPACK_DEBIAN_VIRTUAL_READER_PACKAGE_DEPENDS "mifarezub (= ${PROJECT_VERSION}-1)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
