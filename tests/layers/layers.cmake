# The include-layer table holds for the project's sources, and the check
# does fail on an upward include.
add_test(NAME Layers.SourcesFollowTheTable
         COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)
add_test(NAME Layers.AnUpwardIncludeFails
         COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_CURRENT_LIST_DIR}/upward -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)
set_tests_properties(Layers.AnUpwardIncludeFails PROPERTIES
  PASS_REGULAR_EXPRESSION "src/model/bad.h: includes \"detection/detector.h\"")
