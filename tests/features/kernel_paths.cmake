# Every kernel path against the baseline one, in one process.
pedscan_add_test(kernel_paths_feature_tests LIBS features
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kernel_paths_test.cpp)
