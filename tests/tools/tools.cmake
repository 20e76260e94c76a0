pedscan_add_test(evaluation_tests LIBS evaluation SOURCES ${CMAKE_CURRENT_LIST_DIR}/evaluation_test.cpp)
pedscan_add_test(model_trim_tests LIBS model_trim SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_trim_test.cpp)
pedscan_add_test(tool_cli_tests LIBS ${OpenCV_LIBS} SOURCES ${CMAKE_CURRENT_LIST_DIR}/tool_cli_test.cpp)
target_compile_definitions(tool_cli_tests PRIVATE
  LABEL_BINARY="$<TARGET_FILE:label>" CROPS_BINARY="$<TARGET_FILE:crops>"
  PEERS_BINARY="$<TARGET_FILE:peers>" EVALUATE_BINARY="$<TARGET_FILE:evaluate>")
add_dependencies(tool_cli_tests label crops peers evaluate)
