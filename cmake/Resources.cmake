# pinmark_add_resource(<target> TYPE <type> NAME <name> FILE <file>)
#
# Compiles <file> into <target> as a resource found at run time with
# FindResource(<type>, <name>). Add resources to executables (or to the test
# programs that need them), not to static libraries: the registration runs
# from a static initialiser that a static library would let the linker drop.
function(pinmark_add_resource target)
  cmake_parse_arguments(RES "" "TYPE;NAME;FILE" "" ${ARGN})
  get_filename_component(file "${RES_FILE}" ABSOLUTE)
  string(MAKE_C_IDENTIFIER "${target}_${RES_TYPE}_${RES_NAME}" ident)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/resources/${ident}.cpp")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${out} -DTYPE=${RES_TYPE} -DNAME=${RES_NAME} -DIDENT=${ident}
            -P "${PINMARK_CMAKE_DIR}/EmbedResource.cmake"
    DEPENDS "${file}" "${PINMARK_CMAKE_DIR}/EmbedResource.cmake"
    COMMENT "Embedding resource ${RES_TYPE}/${RES_NAME}"
    VERBATIM)
  target_sources(${target} PRIVATE "${out}")
endfunction()
