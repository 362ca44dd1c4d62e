# Writes the page's files into one C++ source (path, content type, bytes),
# so that zubtool serves its page with nothing installed beside it.
#   cmake -DPAGE_DIR=... -DOUT=... -P embed_page.cmake
file(GLOB_RECURSE _files RELATIVE ${PAGE_DIR} ${PAGE_DIR}/*)
list(SORT _files)
# (No ";" in the list: CMake would split there. Texts get their charset below.)
set(_types
  ".html" "text/html"  ".css" "text/css"  ".js" "text/javascript"  ".mjs" "text/javascript"
  ".json" "application/json"  ".svg" "image/svg+xml"  ".png" "image/png"
  ".ico" "image/x-icon"  ".txt" "text/plain"  ".woff2" "font/woff2")
set(_body "")
set(_table "")
set(_index 0)
foreach(_file ${_files})
  get_filename_component(_ext ${_file} LAST_EXT)
  string(TOLOWER "${_ext}" _ext)
  set(_type "application/octet-stream")
  list(FIND _types "${_ext}" _at)
  if(_at GREATER -1)
    math(EXPR _at "${_at} + 1")
    list(GET _types ${_at} _type)
    if(_type MATCHES "^text/")
      string(APPEND _type "; charset=utf-8")
    endif()
  endif()
  file(READ ${PAGE_DIR}/${_file} _hex HEX)
  string(LENGTH "${_hex}" _length)
  math(EXPR _size "${_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" _bytes "${_bytes}")
  # An empty file still needs one element; its size says 0.
  if(_size EQUAL 0)
    set(_bytes "0")
  endif()
  string(APPEND _body "const unsigned char kFile${_index}[] = {\n${_bytes}};\n")
  string(APPEND _table "      {\"/${_file}\", \"${_type}\", kFile${_index}, ${_size}},\n")
  math(EXPR _index "${_index} + 1")
endforeach()
set(_text "// Generated from the page's files at build time: do not edit.
#include \"server.h\"

namespace zubtool {
namespace ui {
namespace {
${_body}}  // namespace

const std::vector<PageFile>& PageFiles() {
  static const std::vector<PageFile> kFiles = {
${_table}  };
  return kFiles;
}

}  // namespace ui
}  // namespace zubtool
")
file(WRITE ${OUT} "${_text}")
