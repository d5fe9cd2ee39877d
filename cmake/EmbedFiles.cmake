# Writes a C++ file that holds files as byte arrays, for a program that
# serves them without anything beside it. Run as a script:
#   cmake -DOUTPUT=out.cpp -DHEADER=web/web_assets.h -DNAMESPACE=ns
#         -DFILES="path|type|file;..." -P EmbedFiles.cmake
# and the output defines FindAsset(path) over them.
set(body "")
set(table "")
set(index 0)
foreach(entry IN LISTS FILES)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 url)
  list(GET parts 1 type)
  list(GET parts 2 file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char kAsset${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made by cmake/EmbedFiles.cmake at build time: do not edit.
#include \"${HEADER}\"

namespace ${NAMESPACE} {
namespace {
${body}
const WebAsset kAssets[] = {
${table}};
} // namespace

const WebAsset *FindAsset(std::string_view path) {
    for (const WebAsset &a : kAssets) {
        if (path == a.path) {
            return &a;
        }
    }
    return nullptr;
}

} // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
