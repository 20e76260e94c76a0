pedscan_add_test(windows_tests LIBS training_windows SOURCES ${CMAKE_CURRENT_LIST_DIR}/windows_test.cpp)
target_compile_definitions(windows_tests PRIVATE WINDOWS_BINARY="$<TARGET_FILE:windows>")
add_dependencies(windows_tests windows)
add_test(NAME Walkthrough.FromLabelmeToModelCurvesAndVideo
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/walkthrough.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(Walkthrough.FromLabelmeToModelCurvesAndVideo PROPERTIES SKIP_RETURN_CODE 77)
