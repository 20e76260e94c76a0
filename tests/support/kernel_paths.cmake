# pedscan_add_path_tests(name LIBS lib... SOURCES src...)
# Like pedscan_add_test, but registers every test once per kernel path
# (support/cpu.h) as <path>/<suite>.<test>, run with --kernels=<path>: the
# paths this machine cannot run are skipped, saying so.
set(PEDSCAN_TEST_PATHS baseline avx2 avx512)
function(pedscan_add_path_tests name)
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/kernel_path_main.cpp)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} support GTest::gtest)
  target_compile_definitions(${name} PRIVATE
    PEDSCAN_BINARY="$<TARGET_FILE:pedscan>"
    PEDSCAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  foreach(path ${PEDSCAN_TEST_PATHS})
    gtest_discover_tests(${name} TEST_PREFIX "${path}/" EXTRA_ARGS --kernels=${path}
                         WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests DISCOVERY_TIMEOUT 60)
  endforeach()
endfunction()
