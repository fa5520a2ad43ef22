# The layers of the service, and the check that an include never goes up or sideways.
# Run by every build (target layer_check): cmake -DROOT=<source dir> -P cmake/layers.cmake
#
# One line per layer: its name, where its files are (folders, or a unit's path up to the
# dot), and the layers below it that it may include. A layer may include itself; quoted
# includes of kvapi/ (the client library) are allowed everywhere. A file of src/, common/
# or classes/ that no layer claims, or an include of one, fails the check.
cmake_minimum_required(VERSION 3.25)

set(layers
  "base     | common/ classes/                 | "
  "http     | src/http_work_queue.             | base"
  "outbox   | src/outbox/                      | base"
  "delivery | src/delivery/                    | outbox http base"
  "soap     | src/soap/ src/soap_helper.       | delivery outbox http base"
  "recorder | src/recorder/                    | delivery base"
  "service  | src/service/                     | recorder soap delivery outbox http base"
  "app      | src/main. src/wardex.            | service recorder soap delivery outbox http base"
)

if(NOT ROOT)
  message(FATAL_ERROR "layers.cmake: pass -DROOT=<source dir>")
endif()

# layer_of(<path relative to ROOT> <out>): the layer that claims the path, or "".
function(layer_of path out)
  foreach(line IN LISTS layers)
    string(REPLACE "|" ";" fields "${line}")
    list(GET fields 0 name)
    list(GET fields 1 places)
    string(STRIP "${name}" name)
    separate_arguments(places UNIX_COMMAND "${places}")
    foreach(place IN LISTS places)
      string(FIND "${path}" "${place}" at)
      if(at EQUAL 0)
        set(${out} ${name} PARENT_SCOPE)
        return()
      endif()
    endforeach()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

function(allowed_of layer out)
  foreach(line IN LISTS layers)
    string(REPLACE "|" ";" fields "${line}")
    list(GET fields 0 name)
    string(STRIP "${name}" name)
    if(name STREQUAL layer)
      list(GET fields 2 below)
      separate_arguments(below UNIX_COMMAND "${below}")
      set(${out} ${layer} ${below} PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

file(GLOB_RECURSE files RELATIVE ${ROOT}
  ${ROOT}/src/*.h ${ROOT}/src/*.cpp ${ROOT}/common/*.h ${ROOT}/common/*.cpp
  ${ROOT}/classes/*.h ${ROOT}/classes/*.cpp)
set(faults "")
foreach(file IN LISTS files)
  layer_of(${file} layer)
  if(layer STREQUAL "")
    list(APPEND faults "${file}: in no layer")
    continue()
  endif()
  allowed_of(${layer} allowed)
  file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" target "${include}")
    if(target MATCHES "^kvapi/")
      continue()
    endif()
    layer_of(${target} to)
    if(to STREQUAL "")
      list(APPEND faults "${file} includes ${target}, which is in no layer")
    elseif(NOT to IN_LIST allowed)
      list(APPEND faults "${file} includes ${target}: ${layer} may not include ${to}")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Includes that break the layers (cmake/layers.cmake):\n  ${text}")
endif()
