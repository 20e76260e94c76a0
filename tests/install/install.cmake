# Installation into a staging directory: the layout, the detection
# configuration's absolute paths, find_package(pedscan) and pkg-config from a
# program built against the staged files, and the manual page.
add_test(NAME Install.StagedInstallServesOtherPrograms
         COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/staged_install.sh ${CMAKE_BINARY_DIR}
                 ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/staged-install ${CMAKE_COMMAND})
set_tests_properties(Install.StagedInstallServesOtherPrograms PROPERTIES TIMEOUT 300)

# The Debian package, extracted and run as installed (scripts/package-test.sh
# does the same by hand). It needs dpkg-deb, dpkg-shlibdeps and a private
# mount namespace; without them it is skipped, saying what is missing.
add_test(NAME Install.DebianPackageRunsTheDemo
         COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/package-test.sh ${CMAKE_BINARY_DIR}
                 ${CMAKE_CURRENT_BINARY_DIR}/package)
set_tests_properties(Install.DebianPackageRunsTheDemo PROPERTIES
  TIMEOUT 300 SKIP_RETURN_CODE 77 PROCESSORS 2)
