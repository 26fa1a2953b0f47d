# Installing Pinmark's programs and making one Debian package per install
# component. A component gets everything a package of ours needs by being one.
#
# pinmark_package(<component> NAME <package> SUMMARY <line> DESCRIPTION <text>
#                 [SECTION <section>] [RECOMMENDS <text>] [DEPENDS <text>])
#   Makes <component> the package <package>: it installs share/doc/<package>
#   with the copyright file and changelog.Debian.gz, and the lintian
#   overrides in packaging/lintian/<package> when there are any (each with
#   its reason). Its debug information goes into the package
#   <package>-dbgsym (component <component>_dbgsym), which depends on it.
#   DEPENDS adds to the libraries the programs link, found by shlibdeps,
#   those they open only when needed (dlopen), which it cannot see.
#
# pinmark_install_program(<target> COMPONENT <component>)
#   Installs the program into bin with its man page packaging/man/<target>.1.
#   A package's copy (the component installed on its own, as cpack does)
#   keeps its symbol table, so crash reports name functions, and gives its
#   debug information (units and lines) to the -dbgsym package, under
#   lib/debug/.build-id/ where debuggers and the crash reporter look.
#   A program that carries a checksum stamp is stamped again once installed,
#   so the checksum check accepts it.
#
# pinmark_install_configured(<template> <destination> COMPONENT <component>)
#   Installs <template> without its .in, with @PINMARK_BINDIR@ and
#   @PINMARK_DOCDIR@ replaced by the folders of the install's own prefix.
#   It is written straight to its destination at install time, never into
#   the build folder, so that anyone may install from a build they cannot
#   write to (cmake --install --prefix ~/.local from someone else's build)
#   and sudo leaves nothing of root's there.
#
# Every package's version is the project's, with Debian revision
# PINMARK_DEBIAN_REVISION; packaging/debian/changelog must start with it.

set(PINMARK_DEBIAN_REVISION 1)
set(PINMARK_DEBIAN_VERSION "${PROJECT_VERSION}-${PINMARK_DEBIAN_REVISION}")
set(PINMARK_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}")

file(STRINGS "${PINMARK_PACKAGING_DIR}/debian/changelog" _pinmark_changelog_head LIMIT_COUNT 1)
if(NOT _pinmark_changelog_head MATCHES "^pinmark \\(${PINMARK_DEBIAN_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog must begin with an entry for ${PINMARK_DEBIAN_VERSION}, "
                      "not: ${_pinmark_changelog_head}")
endif()

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

set(_pinmark_changelog_gz "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz")
_pinmark_gzip("${PINMARK_PACKAGING_DIR}/debian/changelog" "${_pinmark_changelog_gz}")

function(pinmark_package component)
  cmake_parse_arguments(P "" "NAME;SUMMARY;DESCRIPTION;SECTION;RECOMMENDS;DEPENDS" "" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY PINMARK_PACKAGE_COMPONENTS ${component})
  foreach(field NAME SUMMARY DESCRIPTION SECTION RECOMMENDS DEPENDS)
    set_property(GLOBAL PROPERTY PINMARK_PACKAGE_${component}_${field} "${P_${field}}")
  endforeach()
  foreach(part ${component} ${component}_dbgsym)
    set(package "${P_NAME}")
    set(exclude "")
    if(part STREQUAL "${component}_dbgsym")
      set(package "${P_NAME}-dbgsym")
      # Only packages ask for the debug parts.
      set(exclude EXCLUDE_FROM_ALL)
    endif()
    install(FILES "${PINMARK_PACKAGING_DIR}/debian/copyright" "${_pinmark_changelog_gz}"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" COMPONENT ${part} ${exclude})
    # Overrides are for the package alone (the component installed on its own).
    if(EXISTS "${PINMARK_PACKAGING_DIR}/lintian/${package}")
      install(CODE "
        if(CMAKE_INSTALL_COMPONENT STREQUAL \"${part}\")
          file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/lintian/overrides\" TYPE FILE
               FILES \"${PINMARK_PACKAGING_DIR}/lintian/${package}\")
        endif()
      " COMPONENT ${part} ${exclude})
    endif()
  endforeach()
endfunction()

function(pinmark_install_program target)
  cmake_parse_arguments(P "" "COMPONENT" "" ${ARGN})
  set(installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>")
  install(TARGETS ${target} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT ${P_COMPONENT})
  # A package's copy: the debug sections go to the -dbgsym package, the
  # symbol table stays (a stripped copy would show no function names).
  install(CODE "
    if(CMAKE_INSTALL_COMPONENT STREQUAL \"${P_COMPONENT}\")
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-debug \"${installed}\" RESULT_VARIABLE _result)
      if(NOT _result EQUAL 0)
        message(FATAL_ERROR \"Could not take the debug information out of ${installed}\")
      endif()
    endif()
  " COMPONENT ${P_COMPONENT})
  get_target_property(stamped ${target} PINMARK_STAMPED)
  if(stamped)
    pinmark_stamp_installed(${target} DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT ${P_COMPONENT})
  endif()
  # The debug file, named by the program's build id, from the built program.
  install(CODE "
    execute_process(COMMAND \"${CMAKE_READELF}\" -n \"$<TARGET_FILE:${target}>\" OUTPUT_VARIABLE _notes)
    if(NOT _notes MATCHES \"Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)\")
      message(FATAL_ERROR \"$<TARGET_FILE:${target}> has no build id\")
    endif()
    set(_debug \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/\${CMAKE_MATCH_1}/\${CMAKE_MATCH_2}.debug\")
    get_filename_component(_folder \"\${_debug}\" DIRECTORY)
    file(MAKE_DIRECTORY \"\${_folder}\")
    message(STATUS \"Installing: \${_debug}\")
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug --compress-debug-sections
                            \"$<TARGET_FILE:${target}>\" \"\${_debug}\" RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0)
      message(FATAL_ERROR \"Could not write \${_debug}\")
    endif()
    file(CHMOD \"\${_debug}\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  " COMPONENT ${P_COMPONENT}_dbgsym EXCLUDE_FROM_ALL)

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
    set(PINMARK_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/doc/pinmark\")
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
function(_pinmark_keep_no_manifests)
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

# After every component is known: one Debian package for each, and one for
# its debug information.
function(_pinmark_make_packages)
  get_property(components GLOBAL PROPERTY PINMARK_PACKAGE_COMPONENTS)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL "")
  set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
  set(CPACK_PACKAGE_CONTACT "Pinmark Support <support@${PINMARK_SERVICE_HOST}>")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${PINMARK_DEBIAN_REVISION})
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://${PINMARK_SERVICE_HOST}/")
  # Folders are made 0755 whatever the umask of whoever packs.
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                  WORLD_READ WORLD_EXECUTE)
  # The debug information is split off by the install rules, which also keep
  # the symbol table and the checksum stamp; cpack must change nothing.
  set(CPACK_STRIP_FILES OFF)
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE OFF)
  foreach(component ${components})
    string(TOUPPER "${component}" C)
    foreach(field NAME SUMMARY DESCRIPTION SECTION RECOMMENDS DEPENDS)
      get_property(${field} GLOBAL PROPERTY PINMARK_PACKAGE_${component}_${field})
    endforeach()
    list(APPEND CPACK_COMPONENTS_ALL ${component} ${component}_dbgsym)
    set(CPACK_DEBIAN_${C}_PACKAGE_NAME "${NAME}")
    set(CPACK_DEBIAN_${C}_PACKAGE_SECTION "${SECTION}")
    set(CPACK_DEBIAN_${C}_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_${C}_PACKAGE_RECOMMENDS "${RECOMMENDS}")
    set(CPACK_DEBIAN_${C}_PACKAGE_DEPENDS "${DEPENDS}")
    set(CPACK_COMPONENT_${C}_DESCRIPTION "${SUMMARY}\n${DESCRIPTION}")
    set(CPACK_DEBIAN_${C}_DBGSYM_PACKAGE_NAME "${NAME}-dbgsym")
    set(CPACK_DEBIAN_${C}_DBGSYM_PACKAGE_SECTION debug)
    set(CPACK_DEBIAN_${C}_DBGSYM_PACKAGE_DEPENDS "${NAME} (= ${PINMARK_DEBIAN_VERSION})")
    set(CPACK_COMPONENT_${C}_DBGSYM_DESCRIPTION
        "debug symbols for ${NAME}\nThe debug information of the programs in ${NAME}:\nsource files and lines for crash reports and debuggers.")
  endforeach()
  include(CPack)
  _pinmark_keep_no_manifests()
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" CALL _pinmark_make_packages)
