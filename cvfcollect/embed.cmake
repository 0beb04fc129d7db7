cmake_minimum_required(VERSION 3.25)
# Writes the page's files as a C++ source of constexpr byte arrays, for
# webPageAssets (web_assets.h).
#   cmake -DOUT=<file.cpp> -DFILES=<file;...> -P embed.cmake
# index.html is served at "/", every other file at "/<its name>".
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")

set(arrays "")
set(table "")
set(i 0)
foreach(file ${FILES})
  get_filename_component(name ${file} NAME)
  get_filename_component(ext ${file} LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  if(NOT DEFINED types_${ext})
    message(FATAL_ERROR "embed.cmake: no content type for ${name}")
  endif()
  file(READ ${file} hex HEX)
  if(hex STREQUAL "")
    message(FATAL_ERROR "embed.cmake: ${name} is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REPEAT "0x..," 16 row)
  string(REGEX REPLACE "(${row})" "\\1\n    " hex "${hex}")
  string(APPEND arrays "// ${name}\nconstexpr uint8_t kFile${i}[] = {\n    ${hex}\n};\n")
  if(name STREQUAL "index.html")
    set(path "/")
  else()
    set(path "/${name}")
  endif()
  string(APPEND table "    {\"${path}\", \"${types_${ext}}\", kFile${i}, sizeof kFile${i}},\n")
  math(EXPR i "${i} + 1")
endforeach()

file(CONFIGURE OUTPUT ${OUT}.tmp CONTENT "// Made by cvfcollect/embed.cmake from cvfcollect/web: not to be edited.
#include \"web_assets.h\"

namespace {
@arrays@
constexpr WebAsset kAssets[] = {
@table@};
}  // namespace

const WebAsset *webPageAssets(size_t *n)
{
    *n = sizeof kAssets / sizeof kAssets[0];
    return kAssets;
}
" @ONLY)
# Rewritten only when it changed, so an unchanged page compiles nothing.
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
