pedscan_add_test(ordered_work_tests LIBS training SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ordered_work_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/training_fixtures.cpp
  ${PROJECT_SOURCE_DIR}/tests/detection/synthetic_model.cpp)
