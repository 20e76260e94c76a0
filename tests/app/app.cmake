pedscan_add_test(app_tests LIBS app SOURCES ${CMAKE_CURRENT_LIST_DIR}/input_parameters_test.cpp)
