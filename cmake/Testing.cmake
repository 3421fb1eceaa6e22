# tessaroll_add_tests(NAME <exe> SOURCES <files...> [LIBS <targets...>] [LABEL unit|integration] [SERIAL] [ALONE])
#
# Builds one GoogleTest executable and registers every test in it with CTest.
# LABEL unit tests are run a second time in the sanitizer build (target unit_tests).
# SERIAL tests take the resource lock for the service's fixed loopback ports, so two
# of them never run side by side. ALONE tests run while no other test runs.
if(NOT TARGET unit_tests)
  add_custom_target(unit_tests)
endif()
include(GoogleTest)

function(tessaroll_add_tests)
  cmake_parse_arguments(T "SERIAL;ALONE" "NAME;LABEL" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tessaroll_warnings)
  target_link_libraries(${T_NAME} PRIVATE tessaroll_testhelpers ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(props LABELS ${T_LABEL})
  if(T_SERIAL)
    list(APPEND props RESOURCE_LOCK tessaroll_service_ports)
  endif()
  if(T_ALONE)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  if(T_LABEL STREQUAL "unit")
    add_dependencies(unit_tests ${T_NAME})
  endif()
endfunction()
