pedscan_add_test(training_e2e_tests LIBS training SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/training_e2e_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/training_fixtures.cpp
  ${PROJECT_SOURCE_DIR}/tests/detection/synthetic_model.cpp)
# The tests run the real binary.
add_dependencies(training_e2e_tests pedscan)
