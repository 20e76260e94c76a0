# Checks that every project include under src/, tools/, examples/ and python/ of ROOT
# points down the layer table (or within its own layer):
#
#   cmake -DROOT=<source tree> -P CheckLayers.cmake
#
# An include is a project include when its first path component is a layer
# name; the tools' and examples' own headers are not layers and pass.
# Every include against the table is listed, and the script fails.

# What each layer may include besides itself, bottom to top.
set(may_support "")
set(may_numeric support)
set(may_model numeric support)
set(may_features model numeric support)
set(may_source support)
set(may_annotation support)
set(may_detection source features model numeric support)
set(may_training source features model numeric support)
set(may_app training detection annotation source features model numeric support)
set(may_tools training detection annotation source features model numeric support)
set(may_examples training detection annotation source features model numeric support)
set(may_python training detection annotation source features model numeric support)
set(layers support numeric model features source annotation detection training app)

if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P CheckLayers.cmake")
endif()

file(GLOB_RECURSE files RELATIVE ${ROOT}
     ${ROOT}/src/*.h ${ROOT}/src/*.cpp ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp
     ${ROOT}/examples/*.h ${ROOT}/examples/*.cpp ${ROOT}/python/*.h ${ROOT}/python/*.cpp)
if(NOT files)
  message(FATAL_ERROR "no sources under ${ROOT}/src, tools or examples")
endif()

set(violations 0)
foreach(file ${files})
  string(REPLACE "/" ";" parts ${file})
  list(GET parts 0 top)
  if(top STREQUAL "src")
    list(GET parts 1 layer)
  else()
    set(layer ${top})
  endif()
  if(NOT DEFINED may_${layer})
    message(SEND_ERROR "${file}: '${layer}' is not in the layer table")
    math(EXPR violations "${violations} + 1")
    continue()
  endif()
  file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" target "${line}")
    string(REGEX REPLACE "/.*" "" target_layer "${target}")
    if(target STREQUAL target_layer)
      continue()  # a header beside the file, not a layer path
    endif()
    list(FIND layers ${target_layer} known)
    if(known EQUAL -1 OR target_layer STREQUAL layer)
      continue()
    endif()
    list(FIND may_${layer} ${target_layer} allowed)
    if(allowed EQUAL -1)
      string(REPLACE ";" ", " may "${may_${layer}}")
      message(SEND_ERROR "${file}: includes \"${target}\"; ${layer} may include: ${may}")
      math(EXPR violations "${violations} + 1")
    endif()
  endforeach()
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR "${violations} include(s) against the layer table")
endif()
list(LENGTH files count)
message(STATUS "${count} files follow the layer table")
