# Once per kernel path: the batches run sixteen blocks wide with AVX-512,
# eight with AVX2 and four in SSE registers on the baseline path, and every
# width is held to the same bits.
pedscan_add_path_tests(cooc_tests LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/cooc_test.cpp)
