pedscan_add_test(detection_tests LIBS detection SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/obj_manager_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scan_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/detector_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_test.cpp)
