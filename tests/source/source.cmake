pedscan_add_test(samples_tests LIBS source SOURCES ${CMAKE_CURRENT_LIST_DIR}/samples_test.cpp)
