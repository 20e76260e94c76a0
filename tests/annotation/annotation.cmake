pedscan_add_test(annotation_tests LIBS annotation SOURCES ${CMAKE_CURRENT_LIST_DIR}/annotation_test.cpp)
