pedscan_add_test(numeric_tests
  LIBS numeric support
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/matrix_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/kernels_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/projection_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/pls_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/qda_test.cpp)
