# Writes the debug information of one ELF file where the debugger looks for
# it by build ID: <DEBUG_DIR>/.build-id/<first two hex digits>/<rest>.debug.
#   cmake -DELF=<file> -DDEBUG_DIR=<prefix>/lib/debug -P split_debug.cmake
execute_process(COMMAND readelf -n ${ELF} OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  message(FATAL_ERROR "${ELF} has no build ID")
endif()
set(dir ${DEBUG_DIR}/.build-id/${CMAKE_MATCH_1})
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND objcopy --only-keep-debug --compress-debug-sections ${ELF} ${dir}/${CMAKE_MATCH_2}.debug
  COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD ${dir}/${CMAKE_MATCH_2}.debug PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
