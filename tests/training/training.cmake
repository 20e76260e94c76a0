pedscan_add_test(training_tests LIBS training SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/training_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/retraining_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cross_validation_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/feature_extraction_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/training_fixtures.cpp
  ${PROJECT_SOURCE_DIR}/tests/detection/synthetic_model.cpp)
