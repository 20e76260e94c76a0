# HOG.cpp is compiled into the test directly so that the test builds on the
# subsystems HOG needs (numeric kernels, failures, OpenCV) and nothing else.
pedscan_add_test(hog_tests
  LIBS numeric support ${OpenCV_LIBS}
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hog_test.cpp ${PROJECT_SOURCE_DIR}/src/features/HOG.cpp)
