pedscan_add_benchmark(bench_cache LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/feature_cache_bench.cpp)
