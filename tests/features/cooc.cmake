pedscan_add_test(cooc_tests LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/cooc_test.cpp)
