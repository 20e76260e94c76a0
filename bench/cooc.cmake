pedscan_add_benchmark(bench_cooc LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/cooc_bench.cpp)
