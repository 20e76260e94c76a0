# Test copies of pedscan pinned to one kernel path each, for the tests that
# run the binary once per path: the program itself has no way to choose.
add_library(pedscan_main OBJECT ${PROJECT_SOURCE_DIR}/src/app/main.cpp)
target_link_libraries(pedscan_main PRIVATE app)
foreach(path ${PEDSCAN_TEST_PATHS})
  add_executable(pedscan_${path} $<TARGET_OBJECTS:pedscan_main>
                 ${CMAKE_CURRENT_LIST_DIR}/pinned_kernels.cpp)
  target_compile_definitions(pedscan_${path} PRIVATE PEDSCAN_PINNED_PATH="${path}")
  target_link_libraries(pedscan_${path} PRIVATE app)
  set_target_properties(pedscan_${path} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endforeach()

pedscan_add_path_tests(detection_e2e_tests LIBS detection SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/detection_e2e_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/synthetic_model.cpp)
target_compile_definitions(detection_e2e_tests PRIVATE
  PEDSCAN_PINNED_DIR="${CMAKE_BINARY_DIR}/tests")
# The tests run the real binary, a copy per path.
add_dependencies(detection_e2e_tests pedscan pedscan_baseline pedscan_avx2 pedscan_avx512)

# Every path's detections and responses, bit for bit the same.
pedscan_add_test(kernel_paths_detection_tests LIBS detection SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/kernel_paths_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/synthetic_model.cpp)
target_compile_definitions(kernel_paths_detection_tests PRIVATE
  PEDSCAN_PINNED_DIR="${CMAKE_BINARY_DIR}/tests")
add_dependencies(kernel_paths_detection_tests pedscan_baseline pedscan_avx2 pedscan_avx512)
