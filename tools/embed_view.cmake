# Writes OUTPUT, a C++ file holding every file of the viewer page in DIR as bytes, with its MIME
# type, so the page is part of the tool and needs nothing at run time.
file(GLOB files RELATIVE ${DIR} ${DIR}/*.html ${DIR}/*.js ${DIR}/*.css)
list(SORT files)
set(arrays "")
set(table "")
set(i 0)
foreach(name IN LISTS files)
  file(READ ${DIR}/${name} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(mime "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(mime "text/javascript; charset=utf-8")
  else()
    set(mime "text/css; charset=utf-8")
  endif()
  string(APPEND arrays "const unsigned char asset${i}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${mime}\", asset${i}, sizeof asset${i} - 1},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from tools/view/ when the tool is built; edit those files instead.
#include \"view_assets.h\"

namespace tarvo::tool {
namespace {
${arrays}
const ViewAsset kAssets[] = {
${table}};
}  // namespace

std::span<const ViewAsset> view_assets() { return kAssets; }

}  // namespace tarvo::tool
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
