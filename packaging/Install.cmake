# Installing Pinmark's programs: cmake --install lays them out below the
# prefix, and the Debian packages (debian/, built with dpkg-buildpackage) are
# cut from it: each install component is the package of the same name
# (pinmark, pinmark-checkin, pinmark-service), and debian/rules installs
# each component into its package's folder.
#
# pinmark_install_program(<target> COMPONENT <component>)
#   Installs the program into bin with its man page packaging/man/<target>.1.
#   A program that carries a checksum stamp is stamped again once installed,
#   so the checksum check accepts it (debian/rules stamps once more after
#   the debug information is stripped off).
#
# pinmark_install_configured(<template> <destination> COMPONENT <component>)
#   Installs <template> without its .in, with @PINMARK_BINDIR@ replaced by
#   the install's own bin folder. It is written straight to its destination
#   at install time, never into the build folder, so that anyone may install
#   from a build they cannot write to (cmake --install --prefix ~/.local
#   from someone else's build) and sudo leaves nothing of root's there.
set(PINMARK_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}")

find_program(PINMARK_GZIP gzip REQUIRED)

# Everything the install rules take from the build folder besides the
# programs; the packaging tests depend on it.
add_custom_target(pinmark_package_files ALL)

# <file>.gz of a source file, compressed as Debian wants (best, no name or time).
function(_pinmark_gzip source output)
  get_filename_component(folder "${output}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  add_custom_command(OUTPUT "${output}"
    COMMAND "${PINMARK_GZIP}" -9n -c "${source}" > "${output}"
    DEPENDS "${source}"
    VERBATIM)
  get_filename_component(name "${output}" NAME)
  string(MAKE_C_IDENTIFIER "pinmark_gzip_${name}" id)
  add_custom_target(${id} DEPENDS "${output}")
  add_dependencies(pinmark_package_files ${id})
endfunction()

function(pinmark_install_program target)
  cmake_parse_arguments(P "" "COMPONENT" "" ${ARGN})
  install(TARGETS ${target} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT ${P_COMPONENT})
  get_target_property(stamped ${target} PINMARK_STAMPED)
  if(stamped)
    pinmark_stamp_installed(${target} DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT ${P_COMPONENT})
  endif()
  set(page "${PINMARK_PACKAGING_DIR}/man/${target}.1")
  if(NOT EXISTS "${page}")
    message(FATAL_ERROR "${target} is installed without its man page ${page}")
  endif()
  set(gz "${CMAKE_BINARY_DIR}/packaging/man/${target}.1.gz")
  _pinmark_gzip("${page}" "${gz}")
  install(FILES "${gz}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT ${P_COMPONENT})
endfunction()

function(pinmark_install_configured template destination)
  cmake_parse_arguments(P "" "COMPONENT" "" ${ARGN})
  get_filename_component(source "${template}" ABSOLUTE)
  get_filename_component(name "${template}" NAME_WLE)
  install(CODE "
    set(PINMARK_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(READ \"${source}\" _text)
    string(CONFIGURE \"\${_text}\" _text @ONLY)
    set(_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/${name}\")
    message(STATUS \"Installing: \${_file}\")
    file(WRITE \"\${_file}\" \"\${_text}\")
    file(CHMOD \"\${_file}\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_file}\")
  " COMPONENT ${P_COMPONENT})
endfunction()

# cmake --install ends by listing what it installed in install_manifest*.txt
# in the build folder, which would make it write there. The lists point to
# /dev/null instead: the install writes nothing into the build folder.
function(_pinmark_keep_no_manifest)
  get_cmake_property(components COMPONENTS)
  foreach(name "install_manifest.txt" ${components})
    if(NOT name MATCHES "[.]txt$")
      set(name "install_manifest_${name}.txt")
    endif()
    set(manifest "${CMAKE_BINARY_DIR}/${name}")
    if(NOT IS_SYMLINK "${manifest}")
      file(REMOVE "${manifest}")
      file(CREATE_LINK /dev/null "${manifest}" SYMBOLIC)
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _pinmark_keep_no_manifest)
