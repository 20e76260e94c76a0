# The portable build runs on every x86-64 processor: nothing but the
# dispatched AVX2 and AVX-512 kernels holds an AVX instruction, in the object
# files or in the linked program. The native build is for its machine only.
if(NOT PEDSCAN_NATIVE)
  set(script ${CMAKE_CURRENT_LIST_DIR}/baseline_instructions.sh)
  set(kernels "_kernels_(avx2|avx512)\\.dir$")
  add_test(NAME Instructions.BaselineObjectsHoldNoAvx
           COMMAND sh ${script} objects ${CMAKE_BINARY_DIR} "${kernels}")
  add_test(NAME Instructions.PedscanHoldsNoAvxOutsideTheKernels
           COMMAND sh ${script} binary $<TARGET_FILE:pedscan> "pedscan::(avx2|avx512)::")
  # The check does see the kernels' own instructions.
  add_test(NAME Instructions.TheAvx2KernelsFail
           COMMAND sh ${script} only ${CMAKE_BINARY_DIR} "^numeric_kernels_avx2\\.dir$")
  set_tests_properties(Instructions.TheAvx2KernelsFail PROPERTIES WILL_FAIL TRUE)
endif()
