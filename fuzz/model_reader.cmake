# The model-file reader: text screening, the YAML parse, every record and the
# shape checks. Included from fuzz/CMakeLists.txt.
pedscan_fuzz_library(support numeric model)
pedscan_add_fuzzer(model_reader_fuzzer LIBS model numeric support
                   SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_reader_fuzzer.cpp)
