pedscan_add_test(hostile_model_tests LIBS ${OpenCV_LIBS} SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_model_test.cpp)
# The tests run the real binary.
add_dependencies(hostile_model_tests pedscan)
