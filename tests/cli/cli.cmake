pedscan_add_test(cli_tests LIBS app SOURCES ${CMAKE_CURRENT_LIST_DIR}/command_line_test.cpp)
# The tests run the real binary.
add_dependencies(cli_tests pedscan)

pedscan_add_test(full_disk_tests LIBS training SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/full_disk_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/training/training_fixtures.cpp
  ${PROJECT_SOURCE_DIR}/tests/detection/synthetic_model.cpp)
add_dependencies(full_disk_tests pedscan)

pedscan_add_test(memory_tests LIBS support ${OpenCV_LIBS} SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/memory_test.cpp)
add_dependencies(memory_tests pedscan)

pedscan_add_test(stored_answer_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/stored_answer_test.cpp)
add_dependencies(stored_answer_tests pedscan)

pedscan_add_test(threads_tests LIBS ${OpenCV_LIBS} SOURCES ${CMAKE_CURRENT_LIST_DIR}/threads_test.cpp)
add_dependencies(threads_tests pedscan)
