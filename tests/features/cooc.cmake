pedscan_add_test(cooc_tests LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/cooc_test.cpp)

# The same tests on the extractor built without its AVX paths, where the
# batches run four blocks wide in SSE registers, so that the portable code is
# held to the same bits, and built with AVX2 but without AVX-512, where they
# run eight wide instead of sixteen.
foreach(variant portable avx2)
  pedscan_add_test(cooc_${variant}_tests LIBS numeric support ${OpenCV_LIBS}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/cooc_test.cpp
            ${PROJECT_SOURCE_DIR}/src/features/co_occurrence.cpp
            ${PROJECT_SOURCE_DIR}/src/features/co_occurrence_statistics.cpp)
endforeach()
target_compile_options(cooc_portable_tests PRIVATE -mno-avx -mno-avx2)
target_compile_options(cooc_avx2_tests PRIVATE -mno-avx512f)
