# What `cmake --install` (make install) puts under the prefix:
#
#   bin/pedscan, bin/pedscan-<tool>      the command line and its helper programs
#   lib/libpedscan_<layer>.a             the libraries, static
#   include/pedscan/<layer>/*.h          their headers, included as "detection/detector.h"
#   lib/cmake/pedscan/                   find_package(pedscan): pedscan::<layer> targets
#   lib/pkgconfig/pedscan.pc             the same for pkg-config
#   share/pedscan/                       models, example frame, model configurations and
#                                        detection configurations with absolute model paths
#   share/man/man1/pedscan.1             the manual page, made from pedscan --help
#
# The Python package goes to the interpreter's site directory (python/).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PEDSCAN_LIBRARIES support numeric model features source annotation detection training)
set(PEDSCAN_TOOLS label crops windows evaluate export trim_model peers)
set(PEDSCAN_SHARE ${CMAKE_INSTALL_DATADIR}/pedscan)

# pedscan_install_filled(template name destination placeholder value):
# installs <template> as <destination>/<name> with <placeholder> replaced by
# <value>, which is evaluated at install time (so "\${CMAKE_INSTALL_PREFIX}"
# is the prefix installed to: CPack installs into /usr when the tree was
# configured for /usr/local, and DESTDIR only stages). The filled copy is
# written to a directory of its own, so that installs running side by side
# (the tests) never read each other's half-written copies.
function(pedscan_install_filled template name destination placeholder value)
  install(CODE "
    string(RANDOM LENGTH 16 pedscan_scratch)
    set(pedscan_scratch \"${CMAKE_BINARY_DIR}/install/\${pedscan_scratch}\")
    file(READ \"${template}\" pedscan_text)
    string(REPLACE \"${placeholder}\" \"${value}\" pedscan_text \"\${pedscan_text}\")
    file(WRITE \"\${pedscan_scratch}/${name}\" \"\${pedscan_text}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\" TYPE FILE
         FILES \"\${pedscan_scratch}/${name}\")
    file(REMOVE_RECURSE \"\${pedscan_scratch}\")")
endfunction()

# The layers' archives carry the project's name: plain libsupport.a or
# libsource.a would collide with other packages under a shared lib/.
foreach(library ${PEDSCAN_LIBRARIES})
  set_target_properties(${library} PROPERTIES OUTPUT_NAME pedscan_${library})
endforeach()

install(TARGETS pedscan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The tools' names (export, windows, label, ...) are too common for a
# shared bin/, so they are installed as pedscan-<tool>.
foreach(tool ${PEDSCAN_TOOLS})
  if(TARGET ${tool})
    install(PROGRAMS $<TARGET_FILE:${tool}> DESTINATION ${CMAKE_INSTALL_BINDIR}
            RENAME pedscan-${tool})
  endif()
endforeach()

install(TARGETS ${PEDSCAN_LIBRARIES} EXPORT pedscanTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pedscan)
foreach(library ${PEDSCAN_LIBRARIES})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/${library}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pedscan/${library}
          FILES_MATCHING PATTERN "*.h")
endforeach()

install(EXPORT pedscanTargets NAMESPACE pedscan::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/pedscan)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pedscanConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/pedscanConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/pedscan)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/pedscanConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/pedscanConfig.cmake
              ${CMAKE_BINARY_DIR}/install/pedscanConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/pedscan)

# pkg-config: the archives in link order, then what they need themselves:
# the four OpenCV modules named (opencv4.pc would bring every module), ALGLIB
# and pugixml. The prefix is filled in at install time.
set(PEDSCAN_PC_LIBS "")
foreach(library training detection annotation source features model numeric support)
  string(APPEND PEDSCAN_PC_LIBS " -lpedscan_${library}")
endforeach()
string(APPEND PEDSCAN_PC_LIBS " -lopencv_videoio -lopencv_imgcodecs -lopencv_imgproc -lopencv_core")
list(JOIN OpenCV_INCLUDE_DIRS " -I" PEDSCAN_PC_OPENCV_CFLAGS)
set(PEDSCAN_PC_OPENCV_CFLAGS "-I${PEDSCAN_PC_OPENCV_CFLAGS}")
set(PEDSCAN_PC_PREFIX "@PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/pedscan.pc.in ${CMAKE_BINARY_DIR}/install/pedscan.pc.in @ONLY)
pedscan_install_filled(${CMAKE_BINARY_DIR}/install/pedscan.pc.in pedscan.pc
  ${CMAKE_INSTALL_LIBDIR}/pkgconfig "@PREFIX@" "\${CMAKE_INSTALL_PREFIX}")

# Bundled data. The detection configurations name their models relative to
# the source tree (data/models/...); the installed ones name them by the
# final absolute path, so that they work from any directory. DESTDIR only
# stages the files: it never appears inside them.
install(FILES ${PROJECT_SOURCE_DIR}/data/models/person-hog.yml
              ${PROJECT_SOURCE_DIR}/data/models/person-full.yml
        DESTINATION ${PEDSCAN_SHARE}/models)
install(FILES ${PROJECT_SOURCE_DIR}/data/example/vtest-0440.png DESTINATION ${PEDSCAN_SHARE}/example)
install(FILES ${PROJECT_SOURCE_DIR}/data/train.txt ${PROJECT_SOURCE_DIR}/data/train-full.txt
        DESTINATION ${PEDSCAN_SHARE})
foreach(configuration detect detect-eval)
  pedscan_install_filled(${PROJECT_SOURCE_DIR}/data/${configuration}.txt ${configuration}.txt
    ${PEDSCAN_SHARE} "data/models/" "\${CMAKE_INSTALL_PREFIX}/${PEDSCAN_SHARE}/models/")
endforeach()

# The manual page, from the option table of the program just built. Its FILES
# section names the installed share directory, filled in at install time
# like the configurations.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/install/pedscan.1.in
  COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/manpage.sh $<TARGET_FILE:pedscan> ${PROJECT_VERSION}
          @SHARE@ ${CMAKE_BINARY_DIR}/install/pedscan.1.in
  DEPENDS pedscan ${PROJECT_SOURCE_DIR}/scripts/manpage.sh
  COMMENT "Writing the manual page pedscan.1 from pedscan --help")
add_custom_target(manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/install/pedscan.1.in)
# roff writes the hyphens of the path as \-, and may break a long path
# after a slash (\:) rather than run it past the margin.
install(CODE "
  string(REPLACE - \"\\\\-\" pedscan_roff_share \"\${CMAKE_INSTALL_PREFIX}/${PEDSCAN_SHARE}\")
  string(REPLACE / \"/\\\\:\" pedscan_roff_share \"\${pedscan_roff_share}\")")
pedscan_install_filled(${CMAKE_BINARY_DIR}/install/pedscan.1.in pedscan.1
  ${CMAKE_INSTALL_MANDIR}/man1 "@SHARE@" "\${pedscan_roff_share}")
