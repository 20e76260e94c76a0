pedscan_add_benchmark(bench_hog
  LIBS numeric support ${OpenCV_LIBS}
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hog_bench.cpp ${PROJECT_SOURCE_DIR}/src/features/HOG.cpp)
