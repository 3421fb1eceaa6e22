# Staged binaries go out without their debug sections (a new session copies the adapter, and
# the copy was mostly debug information). The debug information stays beside the build, in
# debug/<file>.debug, and each staged file names it in a debug link, so crash reports and
# debuggers still resolve.
find_program(TESSAROLL_OBJCOPY NAMES objcopy)
set(TESSAROLL_DEBUG_DIR ${CMAKE_BINARY_DIR}/debug)

# Call in the folder that makes the target, after its output folder is set.
function(tessaroll_stage target)
  if(NOT TESSAROLL_OBJCOPY)
    return()
  endif()
  set(debug ${TESSAROLL_DEBUG_DIR}/$<TARGET_FILE_NAME:${target}>.debug)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TESSAROLL_DEBUG_DIR}
    COMMAND ${TESSAROLL_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${TESSAROLL_OBJCOPY} --strip-debug --add-gnu-debuglink=${debug} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
