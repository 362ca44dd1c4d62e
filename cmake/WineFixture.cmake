# Read by ctest before any test of a Windows build is added: every test that
# follows, in this folder and all below it, including the GoogleTest cases
# found at test time, requires the mz_wine_server fixture, so that one
# persistent wineserver serves the whole run (Wine.ServerUp starts it,
# Wine.ServerDown stops it). A test given fixtures of its own where it is
# added keeps only those; wine-run still gives it a server that is up.
if(NOT MZ_WINE_FIXTURE_ADDED)
  set(MZ_WINE_FIXTURE_ADDED TRUE)
  macro(add_test _mz_name)
    _add_test(${_mz_name} ${ARGN})
    if(NOT "${_mz_name}" MATCHES "^Wine\\.Server(Up|Down)$")
      set_tests_properties(${_mz_name} PROPERTIES FIXTURES_REQUIRED mz_wine_server)
    endif()
  endmacro()
endif()
