# The service benchmark talks HTTPS to the staged main program with the staged adapter and
# component through the test helpers, and runs a bare libmicrohttpd responder in a second
# process of itself for comparison. Without the test helpers it is not built.
if(TARGET tessaroll_testhelpers)
  target_link_libraries(bench_service PRIVATE tessaroll_test_certs PkgConfig::MHD PkgConfig::GNUTLS)
  add_dependencies(bench_service ZEFAGPKITessarollMain ZEFAVZDediGPKICryptATLAdapter tessaroll_card_component)
else()
  set_target_properties(bench_service PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
# The slow card calls come from the test adapter, installed stripped as a deliverable is.
if(TARGET bench_staged_adapter)
  add_dependencies(bench_service bench_staged_adapter)
  target_compile_definitions(bench_service PRIVATE BENCH_TEST_ADAPTER="${BENCH_STAGED_ADAPTER}")
endif()
