# mz_vendor_def(<out-var> <file.def>): the .def file to use for a DLL that
# carries the vendor calls (the vendor's import library, the virtual reader,
# the test double).
#
# The .def files in the tree are written for 32-bit Windows: LIBRARY
# CH375DLL.DLL and stdcall names with their argument byte counts
# (CH375OpenDevice@4), which dlltool --kill-at and ld bind to the plain
# exports. On x64 there is one calling convention and no decoration, and the
# library is CH375DLL64.dll; there the file is rewritten into the build tree
# with the decorations dropped and that LIBRARY name, so that import libraries
# made from it bind to the DLL a 64-bit host loads.
function(mz_vendor_def out def)
  get_filename_component(def ${def} ABSOLUTE)
  if(MZ_VENDOR_DLL STREQUAL "CH375DLL")
    set(${out} ${def} PARENT_SCOPE)
    return()
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  file(STRINGS ${def} lines)
  set(text "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^LIBRARY[ \t]")
      set(line "LIBRARY ${MZ_VENDOR_DLL_FILE}")
    elseif(NOT line MATCHES "^[ \t]*;")
      string(REGEX REPLACE "^([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" line "${line}")
    endif()
    string(APPEND text "${line}\n")
  endforeach()
  get_filename_component(name ${def} NAME)
  set(result ${CMAKE_CURRENT_BINARY_DIR}/win64/${name})
  file(WRITE ${result}.tmp "${text}")
  file(COPY_FILE ${result}.tmp ${result} ONLY_IF_DIFFERENT)
  file(REMOVE ${result}.tmp)
  set(${out} ${result} PARENT_SCOPE)
endfunction()
