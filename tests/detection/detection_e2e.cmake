pedscan_add_test(detection_e2e_tests LIBS detection SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/detection_e2e_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/synthetic_model.cpp)
# The tests run the real binary.
add_dependencies(detection_e2e_tests pedscan)
