pedscan_add_benchmark(bench_hog LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/hog_bench.cpp)
