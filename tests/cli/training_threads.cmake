# The training and feature-extraction runs of every thread count compared.
# fixed_clock is preloaded into pedscan so that its cross-validation folds,
# which it shuffles from the clock, are the same in every run.
add_library(fixed_clock MODULE ${CMAKE_CURRENT_LIST_DIR}/fixed_clock.cpp)
pedscan_add_test(training_threads_tests LIBS training SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/training_threads_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/training/training_fixtures.cpp
  ${PROJECT_SOURCE_DIR}/tests/detection/synthetic_model.cpp)
target_compile_definitions(training_threads_tests PRIVATE
  FIXED_CLOCK_LIBRARY="$<TARGET_FILE:fixed_clock>")
add_dependencies(training_threads_tests pedscan fixed_clock)
