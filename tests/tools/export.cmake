pedscan_add_test(export_tests LIBS result_export ${OpenCV_LIBS}
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/export_test.cpp)
target_compile_definitions(export_tests PRIVATE EXPORT_BINARY="$<TARGET_FILE:export>")
add_dependencies(export_tests export pedscan)
