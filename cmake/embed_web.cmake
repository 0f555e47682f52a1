# Writes a C++ file that holds the served page's files as byte arrays (kWebFiles in serve.hpp).
# Run as a script: cmake -DOUT=FILE -DDIR=FOLDER -P embed_web.cmake
set(files
    "/|index.html|text/html"
    "/app.js|app.js|text/javascript"
    "/style.css|style.css|text/css")
set(body "// Made by cmake/embed_web.cmake from tools/imgcover/web/: do not edit.\n")
string(APPEND body "#include \"serve.hpp\"\n\nnamespace imgcover {\n\nnamespace {\n\n")
set(table "")
set(k 0)
foreach(entry IN LISTS files)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 route)
    list(GET parts 1 name)
    list(GET parts 2 type)
    file(READ "${DIR}/${name}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
    string(APPEND body "const unsigned char file${k}[] = {\n${bytes}0};\n\n")
    string(APPEND table "    {\"${route}\", \"${type}; charset=utf-8\", file${k}, ${size}},\n")
    math(EXPR k "${k} + 1")
endforeach()
string(APPEND body "} // namespace\n\nconst WebFile kWebFiles[] = {\n${table}};\n")
string(APPEND body "const int kWebFileCount = ${k};\n\n} // namespace imgcover\n")
file(WRITE "${OUT}.new" "${body}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
