# The frames of bench/large_frame.sh: the bundled example resized.
add_executable(scaled_frame EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/scaled_frame.cpp)
target_link_libraries(scaled_frame PRIVATE ${OpenCV_LIBS})
set_target_properties(scaled_frame PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(benchmarks scaled_frame)
