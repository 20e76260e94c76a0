pedscan_add_test(evaluation_tests LIBS evaluation SOURCES ${CMAKE_CURRENT_LIST_DIR}/evaluation_test.cpp)
pedscan_add_test(model_trim_tests LIBS model_trim SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_trim_test.cpp)
