# GoogleTest for both builds: Debian's libgtest-dev natively; for the Windows
# build the same package's sources (/usr/src/googletest), compiled with MinGW.
if(CMAKE_CROSSCOMPILING AND WIN32)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own sources are not held to our warning flags, nor
  # optimised: the framework's speed does not matter, its compile time does.
  target_compile_options(gtest PRIVATE -w -O0)
  target_compile_options(gtest_main PRIVATE -w -O0)
  # GoogleTest's own CMake already provides GTest::gtest and GTest::gtest_main.
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# The suite's slow tests (a browser, a package build, a wheel) carry a COST
# near their seconds: ctest -j starts the dearest first, so on a fresh tree,
# which holds no timings of an earlier run, they do not end the run alone.

# mz_add_test(<target> [LINK_API]): registers every GoogleTest case of
# <target> with ctest (run through Wine in the Windows build). LINK_API marks
# the programs that test link/ and api/ themselves: the branch-coverage gate
# (scripts/reliability.sh) builds and runs just those (target
# mz_link_api_tests, label link-api), which reach every branch the whole suite
# does there.
add_custom_target(mz_link_api_tests)
function(mz_add_test target)
  set(_labels)
  if("LINK_API" IN_LIST ARGN)
    set(_labels LABELS link-api)
    add_dependencies(mz_link_api_tests ${target})
  endif()
  # One variable only: gtest_discover_tests flattens a property's list, and
  # set_tests_properties would take a second variable for a property name
  # (the loader-crash re-run was lost that way). scripts/wine-run sets Wine's
  # quiet defaults itself.
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 600
    PROPERTIES ${_labels} ENVIRONMENT WINE_RUN_AGAIN_ON_LOADER_CRASH=1)
endfunction()

# Windows builds: one persistent wineserver for the whole run of the suite,
# in the run's own prefix. Wine.ServerUp starts it (or joins the one that is
# up) and waits until it listens; Wine.ServerDown stops it once the last test
# has ended, and fails if the server was replaced in between. Every test
# requires the fixture (WineFixture.cmake, read by ctest before the tests).
if(CMAKE_CROSSCOMPILING_EMULATOR)
  add_test(NAME Wine.ServerUp
    COMMAND sh ${CMAKE_CROSSCOMPILING_EMULATOR} --server-up ctest-${CMAKE_SYSTEM_PROCESSOR})
  add_test(NAME Wine.ServerDown
    COMMAND sh ${CMAKE_CROSSCOMPILING_EMULATOR} --server-down ctest-${CMAKE_SYSTEM_PROCESSOR})
  set_tests_properties(Wine.ServerUp PROPERTIES FIXTURES_SETUP mz_wine_server TIMEOUT 120)
  set_tests_properties(Wine.ServerDown PROPERTIES FIXTURES_CLEANUP mz_wine_server TIMEOUT 120)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY
    TEST_INCLUDE_FILES ${CMAKE_CURRENT_LIST_DIR}/WineFixture.cmake)
endif()
