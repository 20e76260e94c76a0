pedscan_add_benchmark(bench_numeric
  LIBS numeric support
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/numeric_bench.cpp)
