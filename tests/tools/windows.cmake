pedscan_add_test(windows_tests LIBS training_windows SOURCES ${CMAKE_CURRENT_LIST_DIR}/windows_test.cpp)
target_compile_definitions(windows_tests PRIVATE WINDOWS_BINARY="$<TARGET_FILE:windows>")
add_dependencies(windows_tests windows)
