pedscan_add_test(yaml_screen_tests LIBS model SOURCES ${CMAKE_CURRENT_LIST_DIR}/yaml_screen_test.cpp)
