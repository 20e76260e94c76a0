pedscan_add_test(model_tests LIBS model SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_test.cpp)
