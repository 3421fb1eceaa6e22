# Starts the staged main program through the test helpers, beside a process that holds the
# shared log lock. Without the test helpers it is not built.
if(TARGET tessaroll_testhelpers)
  target_link_libraries(bench_log_lock_held PRIVATE PkgConfig::GNUTLS)
  target_compile_definitions(bench_log_lock_held PRIVATE
    MUTEX_HOLDER="$<TARGET_FILE:tessaroll_mutex_holder>")
  add_dependencies(bench_log_lock_held ZEFAGPKITessarollMain ZEFAVZDediGPKICryptATLAdapter
    tessaroll_card_component tessaroll_mutex_holder)
else()
  set_target_properties(bench_log_lock_held PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
