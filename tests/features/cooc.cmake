pedscan_add_test(cooc_tests LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/cooc_test.cpp)

# The same tests on the extractor built without its AVX paths, so that the
# portable code is held to the same bits.
pedscan_add_test(cooc_portable_tests LIBS numeric support ${OpenCV_LIBS}
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cooc_test.cpp ${PROJECT_SOURCE_DIR}/src/features/co_occurrence.cpp)
set_source_files_properties(${PROJECT_SOURCE_DIR}/src/features/co_occurrence.cpp
  TARGET_DIRECTORY cooc_portable_tests PROPERTIES COMPILE_OPTIONS "-mno-avx;-mno-avx2")
# Tells the tests that the extractor has no fused multiply-add here.
target_compile_definitions(cooc_portable_tests PRIVATE PEDSCAN_PORTABLE_EXTRACTOR)
