# Installation into a staging directory: the layout, the detection
# configuration's absolute paths, find_package(pedscan) and pkg-config from a
# program built against the staged files, and the manual page.
add_test(NAME Install.StagedInstallServesOtherPrograms
         COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/staged_install.sh ${CMAKE_BINARY_DIR}
                 ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/staged-install ${CMAKE_COMMAND})
set_tests_properties(Install.StagedInstallServesOtherPrograms PROPERTIES TIMEOUT 300)

