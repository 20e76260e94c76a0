pedscan_add_test(cache_tests LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/feature_cache_test.cpp)
