pedscan_add_test(storage_tests LIBS model SOURCES ${CMAKE_CURRENT_LIST_DIR}/storage_test.cpp)
