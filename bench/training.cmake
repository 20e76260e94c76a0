pedscan_add_benchmark(bench_training
  LIBS training
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/training_bench.cpp
          ${PROJECT_SOURCE_DIR}/tests/detection/synthetic_model.cpp)
