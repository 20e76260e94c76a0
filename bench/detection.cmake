pedscan_add_benchmark(bench_detection
  LIBS detection
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/detection_bench.cpp
          ${PROJECT_SOURCE_DIR}/tests/detection/synthetic_model.cpp)
