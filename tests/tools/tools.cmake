pedscan_add_test(evaluation_tests LIBS evaluation SOURCES ${CMAKE_CURRENT_LIST_DIR}/evaluation_test.cpp)
pedscan_add_test(trim_model_tests LIBS model_trim SOURCES ${CMAKE_CURRENT_LIST_DIR}/trim_model_test.cpp)
pedscan_add_test(tool_cli_tests LIBS ${OpenCV_LIBS} SOURCES ${CMAKE_CURRENT_LIST_DIR}/tool_cli_test.cpp)
target_compile_definitions(tool_cli_tests PRIVATE
  LABEL_BINARY="$<TARGET_FILE:label>" CROPS_BINARY="$<TARGET_FILE:crops>"
  PEERS_BINARY="$<TARGET_FILE:peers>" EVALUATE_BINARY="$<TARGET_FILE:evaluate>"
  TRIM_MODEL_BINARY="$<TARGET_FILE:trim_model>")
add_dependencies(tool_cli_tests label crops peers evaluate trim_model)
target_sources(evaluation_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/evaluation_rules_test.cpp)
find_package(nlohmann_json 3 REQUIRED)
pedscan_add_test(evaluate_cli_tests LIBS evaluation nlohmann_json::nlohmann_json
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/evaluate_cli_test.cpp)
target_compile_definitions(evaluate_cli_tests PRIVATE EVALUATE_BINARY="$<TARGET_FILE:evaluate>")
add_dependencies(evaluate_cli_tests evaluate)
