# Build pieces of the crash reporter for executables.
#
# pinmark_add_crash_settings(<executable>)
#   Embeds the crash reporter's settings stream (built from
#   crash/settings/CrashReporter.txt) as the resource RCDATA/TCRASHREPORTER.
#
# pinmark_stamp_checksum(<executable>)
#   After every link, writes the file's checksum into the executable so that
#   CheckFileCrc() can recognise a damaged copy. Call it after any other
#   POST_BUILD step that changes the file; the executable must link
#   pinmark_crash and call CheckFileCrc().
#
# pinmark_stamp_installed(<executable> DESTINATION <dir below the prefix> [COMPONENT <component>])
#   Stamps the installed file again, after the install rules before it that
#   change it (stripping), so that CheckFileCrc() still accepts it. An
#   unchanged file gets the same stamp it had.

function(pinmark_add_crash_settings target)
  pinmark_add_resource(${target} TYPE RCDATA NAME TCRASHREPORTER FILE "${PINMARK_CRASH_SETTINGS_STREAM}")
  add_dependencies(${target} pinmark_crash_settings_stream)
endfunction()

function(pinmark_stamp_checksum target)
  set_property(TARGET ${target} PROPERTY PINMARK_STAMPED TRUE)
  add_dependencies(${target} pinmark_stampchecksum)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND pinmark_stampchecksum "$<TARGET_FILE:${target}>"
    COMMENT "Stamping the file checksum into ${target}"
    VERBATIM)
endfunction()

function(pinmark_stamp_installed target)
  cmake_parse_arguments(I "" "DESTINATION;COMPONENT" "" ${ARGN})
  set(component "")
  if(I_COMPONENT)
    set(component COMPONENT ${I_COMPONENT})
  endif()
  install(CODE "
    set(_installed \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${I_DESTINATION}/$<TARGET_FILE_NAME:${target}>\")
    execute_process(COMMAND \"$<TARGET_FILE:pinmark_stampchecksum>\" \"\${_installed}\"
                    RESULT_VARIABLE _result OUTPUT_QUIET)
    if(NOT _result EQUAL 0)
      message(FATAL_ERROR \"Could not stamp the checksum into \${_installed}\")
    endif()
  " ${component})
endfunction()
