# Run at build time (cmake -P) on one staged file: FILE, DEBUG_DIR, OBJCOPY, READELF.
# Keeps the debug information in DEBUG_DIR/<name>.debug and under its build id
# (DEBUG_DIR/.build-id/xx/rest.debug, where debuggers look it up for any copy of the file,
# such as the adapter copies of the sessions), then strips the file and links it to that.
get_filename_component(name "${FILE}" NAME)
set(debug "${DEBUG_DIR}/${name}.debug")
file(MAKE_DIRECTORY "${DEBUG_DIR}")
execute_process(COMMAND "${OBJCOPY}" --only-keep-debug "${FILE}" "${debug}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${READELF}" -n "${FILE}" OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
if(notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  file(MAKE_DIRECTORY "${DEBUG_DIR}/.build-id/${CMAKE_MATCH_1}")
  file(COPY_FILE "${debug}" "${DEBUG_DIR}/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug" ONLY_IF_DIFFERENT)
endif()
execute_process(COMMAND "${OBJCOPY}" --strip-debug "--add-gnu-debuglink=${debug}" "${FILE}" COMMAND_ERROR_IS_FATAL ANY)
