# Prints the image's size after each link: total bytes against the limits, and
# the bytes per output section.
file(SIZE ${BIN} bytes)
execute_process(COMMAND ${SIZE_TOOL} -A ${ELF} OUTPUT_VARIABLE sections)
string(REGEX MATCHALL "\n\\.[a-z_]+ +[0-9]+" rows "${sections}")
set(parts "")
foreach(row ${rows})
  string(REGEX REPLACE "\n(\\.[a-z_]+) +([0-9]+)" "\\1 \\2" row "${row}")
  string(APPEND parts " ${row},")
endforeach()
math(EXPR room "24576 - ${bytes}")
message(STATUS "bootloader.bin: ${bytes} bytes (${room} bytes below the 24,576-byte limit);${parts}")
