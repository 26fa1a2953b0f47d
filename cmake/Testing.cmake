# pinmark_add_test(<name> SOURCES <files...> LIBS <libraries...> [TIMEOUT <seconds>])
#
# One GoogleTest program per call; its cases are registered with ctest one by
# one, discovered when ctest runs (so widget tests never run during the build).
# Each case may take 120 s unless TIMEOUT says otherwise.
function(pinmark_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT ${T_TIMEOUT})
endfunction()
