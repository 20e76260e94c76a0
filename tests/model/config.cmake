pedscan_add_test(config_tests LIBS model SOURCES ${CMAKE_CURRENT_LIST_DIR}/parameters_test.cpp)
