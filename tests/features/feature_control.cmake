pedscan_add_test(feature_control_tests
  LIBS features model numeric support
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/feature_control_test.cpp)
