pedscan_add_test(evaluation_tests LIBS evaluation SOURCES ${CMAKE_CURRENT_LIST_DIR}/evaluation_test.cpp)
