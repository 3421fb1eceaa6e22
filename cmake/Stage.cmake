# Staged binaries go out without their debug sections (a new session copies the adapter, and
# the copy was mostly debug information). The debug information stays beside the build in
# debug/ (see StripStaged.cmake): `gdb -ex 'set debug-file-directory build/debug'` or
# `addr2line -e build/debug/<file>.debug` resolve a crash report's addresses.
find_program(TESSAROLL_OBJCOPY NAMES objcopy)
find_program(TESSAROLL_READELF NAMES readelf)
set(TESSAROLL_DEBUG_DIR ${CMAKE_BINARY_DIR}/debug)

# Call in the folder that makes the target, after its output folder is set.
function(tessaroll_stage target)
  if(NOT TESSAROLL_OBJCOPY OR NOT TESSAROLL_READELF)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DDEBUG_DIR=${TESSAROLL_DEBUG_DIR}
            -DOBJCOPY=${TESSAROLL_OBJCOPY} -DREADELF=${TESSAROLL_READELF}
            -P ${CMAKE_SOURCE_DIR}/cmake/StripStaged.cmake
    VERBATIM)
endfunction()
