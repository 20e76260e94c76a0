pedscan_add_test(hostile_input_tests LIBS ${OpenCV_LIBS} SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_input_test.cpp)
# The tests run the real binary.
add_dependencies(hostile_input_tests pedscan)
