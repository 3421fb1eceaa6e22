# The adapter benchmark drives the staged plug-in and the test component through the test harness.
if(TARGET tessaroll_adapter_harness)
  target_link_libraries(bench_adapter PRIVATE tessaroll_adapter_harness)
  target_include_directories(bench_adapter PRIVATE ${CMAKE_SOURCE_DIR}/tests/doubles/AdapterHarness)
else()
  set_target_properties(bench_adapter PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
