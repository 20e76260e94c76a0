pedscan_add_benchmark(bench_model LIBS model SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_bench.cpp)
