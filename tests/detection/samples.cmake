# samples.cpp is compiled into the test directly so that the test builds on
# what Samples needs (the parameter record, failures, OpenCV) and nothing else.
pedscan_add_test(samples_tests
  LIBS app support ${OpenCV_LIBS}
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/samples_test.cpp ${PROJECT_SOURCE_DIR}/src/detection/samples.cpp)
