pedscan_add_path_tests(hog_tests LIBS features SOURCES ${CMAKE_CURRENT_LIST_DIR}/hog_test.cpp)
