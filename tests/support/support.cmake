pedscan_add_test(support_tests LIBS support SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/atomic_file_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cpu_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/directory_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/failure_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/parallel_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_test.cpp)
