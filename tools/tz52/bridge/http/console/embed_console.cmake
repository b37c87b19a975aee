# Turns the console's files into a C++ source of byte arrays, run at build
# time: cmake -DSOURCE_DIR=DIR -DOUTPUT=FILE -DFILES="index.html;..." -P
# embed_console.cmake. The console must stay under 150 KB in all, so the
# build fails beyond it.
string(REPLACE "," ";" FILES "${FILES}")
set(most_bytes 153600)
set(total 0)
set(arrays "")
set(table "")
set(number 0)
foreach(name IN LISTS FILES)
  file(READ "${SOURCE_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  math(EXPR total "${total} + ${size}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "the console's ${name}: no content type for it")
  endif()
  string(APPEND arrays "const unsigned char kFile${number}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", kFile${number}, ${size}},\n")
  math(EXPR number "${number} + 1")
endforeach()
if(total GREATER most_bytes)
  message(FATAL_ERROR "the console is ${total} bytes, more than its ${most_bytes}")
endif()
file(WRITE "${OUTPUT}.new"
  "// Generated from the console's files at build time; not to be edited.\n"
  "#include \"tools/tz52/bridge/http/console/console_files.h\"\n\nnamespace {\n${arrays}}  // namespace\n\n"
  "const ConsoleFile kConsoleFiles[] = {\n${table}};\nconst size_t kConsoleFileCount = ${number};\n"
  "const size_t kConsoleBytes = ${total};\n")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
