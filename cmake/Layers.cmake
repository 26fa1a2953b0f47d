# The link graph of a layered part's libraries as CMake holds it once every
# folder has had its say: one line per library, "target: linked libraries",
# for scripts/check-layers.
function(pinmark_write_layers_now file)
  set(text "")
  foreach(target IN LISTS ARGN)
    get_target_property(linked ${target} LINK_LIBRARIES)
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    set(all)
    foreach(library IN LISTS linked interface)
      if(library AND NOT library MATCHES "-NOTFOUND$")
        list(APPEND all "${library}")
      endif()
    endforeach()
    list(REMOVE_DUPLICATES all)
    list(JOIN all " " joined)
    string(APPEND text "${target}: ${joined}\n")
  endforeach()
  file(WRITE "${file}" "${text}")
endfunction()

# Writes file at the end of the configuration, when every link is known.
function(pinmark_write_layers file)
  # A deferred call reads its arguments when it runs: write them in now.
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY \"${CMAKE_SOURCE_DIR}\" CALL pinmark_write_layers_now \"${file}\" ${ARGN})")
endfunction()
