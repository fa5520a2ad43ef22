# Fails when a program or library of the build tree carries an empty RUNPATH/RPATH entry
# ("dir:" or "::"): the loader reads an empty entry as the current folder, so running the
# program from a folder others can write would load their libraries.
# cmake -DBUILD_DIR=<tree> -P runpath_check.cmake
file(GLOB programs "${BUILD_DIR}/bin/*" "${BUILD_DIR}/lib/*.so*")
set(checked 0)
foreach(program IN LISTS programs)
  if(IS_DIRECTORY "${program}")
    continue()
  endif()
  execute_process(COMMAND readelf -d "${program}" OUTPUT_VARIABLE dynamic ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    continue()  # not an ELF file
  endif()
  math(EXPR checked "${checked} + 1")
  string(REGEX MATCHALL "(RUNPATH|RPATH)\\)[^\n]*\\[[^]]*\\]" entries "${dynamic}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" path "${entry}")
    if(path MATCHES "^:" OR path MATCHES ":$" OR path MATCHES "::")
      message(SEND_ERROR "${program}: empty search path entry in \"${path}\"")
    endif()
  endforeach()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no ELF files found under ${BUILD_DIR}")
endif()
message(STATUS "${checked} ELF files checked")
