pedscan_add_benchmark(bench_feature_control
  LIBS features model numeric support ${OpenCV_LIBS}
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/feature_control_bench.cpp)
