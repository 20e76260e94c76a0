pedscan_add_test(cli_tests LIBS app SOURCES ${CMAKE_CURRENT_LIST_DIR}/command_line_test.cpp)
# The tests run the real binary.
add_dependencies(cli_tests pedscan)
