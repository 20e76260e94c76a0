# Once per kernel path, so that every path's dot products and projections
# are held to the four-lane definition.
pedscan_add_path_tests(numeric_tests
  LIBS numeric support
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/matrix_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/kernels_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/projection_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/pls_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/qda_test.cpp)
