# Tests that use the build's device file (ORVTIW_DEVICE_PATH) or fixed TCP
# ports are registered through the two functions below, never with add_test
# directly, so that they run side by side where that is safe and one at a
# time where it is not:
#
#   orvtiw_device_fixture(NAME <fixture> START <command>... STOP <command>...
#                         [TIMEOUT <s>] [LABELS <label>...])
#     A server that tests share, such as a tiwaysim: the tests <fixture>_start
#     (FIXTURES_SETUP) and <fixture>_stop (FIXTURES_CLEANUP). STOP must fail
#     when the server died before it (a crash under test).
#
#   orvtiw_device_test(NAME <name> COMMAND <command>... FIXTURE <fixture> | ISOLATED
#                      [TIMEOUT <s>] [LABELS <label>...] [TIMING] [EXCLUSIVE]
#                      [WORKING_DIRECTORY <dir>])
#     FIXTURE: the test talks to the fixture's server; the tests of one
#     fixture run one at a time, since they share its state. ISOLATED: the
#     test starts whatever it needs itself. TIMING: the test judges how long
#     things take (label `timing`: `ctest -LE timing` leaves them out on a
#     machine too loaded to judge time). EXCLUSIVE: nothing else may run
#     beside it (RUN_SERIAL), for the benchmarks. COMMAND may start with a
#     target's name, as with add_test.
#
# With namespaces (ORVTIW_TEST_ISOLATION namespaces, or auto where the probe
# of tests/isolate.sh succeeds: root, and the device file under /dev/shm),
# each fixture with its tests, and each isolated test, gets a private
# /dev/shm, loopback and process namespace: no device file or port is
# shared, so none is locked. Otherwise (lock) every such test holds the
# device path as a resource lock, and because a fixture's server holds the
# device from its start to its stop, the fixtures and the isolated tests are
# ordered by when they were registered: a fixture starts after the fixtures
# and isolated tests registered before it, and an isolated test waits for
# the fixtures registered before it to stop.

set(ORVTIW_TEST_ISOLATION auto CACHE STRING
    "How the tests that use the device file or fixed ports are kept apart: auto, namespaces or lock")
set_property(CACHE ORVTIW_TEST_ISOLATION PROPERTY STRINGS auto namespaces lock)

set(ORVTIW_ISOLATE ${PROJECT_SOURCE_DIR}/tests/isolate.sh)
get_filename_component(_orvtiw_device_dir "${ORVTIW_DEVICE_PATH}" DIRECTORY)
if(ORVTIW_TEST_ISOLATION STREQUAL "lock")
  set(ORVTIW_TEST_NAMESPACES OFF)
  set(_orvtiw_isolation_why "chosen")
elseif(NOT _orvtiw_device_dir STREQUAL "/dev/shm")
  set(ORVTIW_TEST_NAMESPACES OFF)
  set(_orvtiw_isolation_why "the device file is not under /dev/shm")
else()
  execute_process(COMMAND sh ${ORVTIW_ISOLATE} probe RESULT_VARIABLE _orvtiw_probe OUTPUT_QUIET ERROR_QUIET)
  if(_orvtiw_probe EQUAL 0)
    set(ORVTIW_TEST_NAMESPACES ON)
  else()
    set(ORVTIW_TEST_NAMESPACES OFF)
    set(_orvtiw_isolation_why "unshare refused (not root?) or ip is missing")
  endif()
endif()
if(ORVTIW_TEST_ISOLATION STREQUAL "namespaces" AND NOT ORVTIW_TEST_NAMESPACES)
  message(FATAL_ERROR "ORVTIW_TEST_ISOLATION=namespaces, but ${_orvtiw_isolation_why}")
endif()
if(ORVTIW_TEST_NAMESPACES)
  message(STATUS "Device and port tests: each fixture and isolated test in namespaces of its own")
else()
  message(STATUS "Device and port tests: one at a time on ${ORVTIW_DEVICE_PATH} (${_orvtiw_isolation_why})")
endif()

# A command list whose first element, when it names an executable target,
# becomes that target's file (and its emulator in a cross build), as
# add_test would do; the wrapper in front of it would hide it from add_test.
function(_orvtiw_resolve_command out)
  set(command ${ARGN})
  list(GET command 0 first)
  if(TARGET "${first}")
    get_target_property(type "${first}" TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(REMOVE_AT command 0)
      set(emulator)
      if(CMAKE_CROSSCOMPILING)
        set(emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
      endif()
      set(command ${emulator} "$<TARGET_FILE:${first}>" ${command})
    endif()
  endif()
  set(${out} ${command} PARENT_SCOPE)
endfunction()

function(_orvtiw_common_properties name timeout labels)
  if(NOT timeout)
    set(timeout 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout})
  if(labels)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  endif()
endfunction()

function(orvtiw_device_fixture)
  cmake_parse_arguments(PARSE_ARGV 0 F "" "NAME;TIMEOUT" "START;STOP;LABELS")
  if(NOT F_NAME OR NOT F_START OR NOT F_STOP OR F_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "orvtiw_device_fixture(NAME <fixture> START <command>... STOP <command>...): ${ARGV}")
  endif()
  _orvtiw_resolve_command(start ${F_START})
  _orvtiw_resolve_command(stop ${F_STOP})
  set(namespace_dir ${PROJECT_BINARY_DIR}/tests/namespaces/${F_NAME})
  set_property(GLOBAL PROPERTY ORVTIW_FIXTURE_NAMESPACE_${F_NAME} ${namespace_dir})
  if(ORVTIW_TEST_NAMESPACES)
    add_test(NAME ${F_NAME}_start COMMAND sh ${ORVTIW_ISOLATE} open ${namespace_dir} -- ${start})
    add_test(NAME ${F_NAME}_stop COMMAND sh ${ORVTIW_ISOLATE} close ${namespace_dir} -- ${stop})
  else()
    add_test(NAME ${F_NAME}_start COMMAND ${start})
    add_test(NAME ${F_NAME}_stop COMMAND ${stop})
    get_property(isolated GLOBAL PROPERTY ORVTIW_DEVICE_ISOLATED_TESTS)
    get_property(cleanups GLOBAL PROPERTY ORVTIW_DEVICE_FIXTURE_CLEANUPS)
    set_tests_properties(${F_NAME}_start ${F_NAME}_stop PROPERTIES RESOURCE_LOCK ${ORVTIW_DEVICE_PATH})
    if(isolated OR cleanups)
      set_tests_properties(${F_NAME}_start PROPERTIES DEPENDS "${isolated};${cleanups}")
    endif()
    set_property(GLOBAL APPEND PROPERTY ORVTIW_DEVICE_FIXTURE_CLEANUPS ${F_NAME}_stop)
  endif()
  set_tests_properties(${F_NAME}_start PROPERTIES FIXTURES_SETUP ${F_NAME})
  set_tests_properties(${F_NAME}_stop PROPERTIES FIXTURES_CLEANUP ${F_NAME})
  if(NOT F_TIMEOUT)
    set(F_TIMEOUT 30)
  endif()
  foreach(step IN ITEMS start stop)
    _orvtiw_common_properties(${F_NAME}_${step} ${F_TIMEOUT} "${F_LABELS}")
  endforeach()
endfunction()

function(orvtiw_device_test)
  cmake_parse_arguments(PARSE_ARGV 0 T "ISOLATED;TIMING;EXCLUSIVE" "NAME;FIXTURE;TIMEOUT;WORKING_DIRECTORY"
                        "COMMAND;LABELS")
  if(NOT T_NAME OR NOT T_COMMAND OR T_UNPARSED_ARGUMENTS OR (T_ISOLATED AND T_FIXTURE)
     OR (NOT T_ISOLATED AND NOT T_FIXTURE))
    message(FATAL_ERROR "orvtiw_device_test(NAME <name> COMMAND <command>... FIXTURE <fixture> | ISOLATED ...): ${ARGV}")
  endif()
  _orvtiw_resolve_command(command ${T_COMMAND})
  if(T_FIXTURE)
    get_property(namespace_dir GLOBAL PROPERTY ORVTIW_FIXTURE_NAMESPACE_${T_FIXTURE})
    if(NOT namespace_dir)
      message(FATAL_ERROR "orvtiw_device_test(${T_NAME}): no fixture ${T_FIXTURE} registered before it")
    endif()
  endif()
  if(NOT ORVTIW_TEST_NAMESPACES)
    # Today's serialisation, ordered against the fixtures (see above).
  elseif(T_FIXTURE)
    set(command sh ${ORVTIW_ISOLATE} enter ${namespace_dir} -- ${command})
  else()
    set(command sh ${ORVTIW_ISOLATE} run -- ${command})
  endif()
  if(T_WORKING_DIRECTORY)
    add_test(NAME ${T_NAME} COMMAND ${command} WORKING_DIRECTORY ${T_WORKING_DIRECTORY})
  else()
    add_test(NAME ${T_NAME} COMMAND ${command})
  endif()

  set(labels ${T_LABELS})
  if(T_TIMING)
    list(APPEND labels timing)
  endif()
  _orvtiw_common_properties(${T_NAME} "${T_TIMEOUT}" "${labels}")
  if(T_EXCLUSIVE)
    set_tests_properties(${T_NAME} PROPERTIES RUN_SERIAL TRUE)
  endif()
  if(T_FIXTURE)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED ${T_FIXTURE})
  endif()
  if(ORVTIW_TEST_NAMESPACES)
    if(T_FIXTURE)
      set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK fixture:${T_FIXTURE})
    endif()
  else()
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK ${ORVTIW_DEVICE_PATH})
    if(T_ISOLATED)
      get_property(cleanups GLOBAL PROPERTY ORVTIW_DEVICE_FIXTURE_CLEANUPS)
      if(cleanups)
        set_tests_properties(${T_NAME} PROPERTIES DEPENDS "${cleanups}")
      endif()
      set_property(GLOBAL APPEND PROPERTY ORVTIW_DEVICE_ISOLATED_TESTS ${T_NAME})
    endif()
  endif()
endfunction()

# orvtiw_gtest_cases_listed(TARGET <program> SUITE <suite> CASES <case>... [ARGS <arg>...])
#   The test <program>_cases_listed: fails when the program's cases of the
#   suite are not exactly CASES, for suites registered one ctest case per
#   gtest case through orvtiw_device_test. ARGS: what the program needs on
#   its command line to list its cases.
function(orvtiw_gtest_cases_listed)
  cmake_parse_arguments(PARSE_ARGV 0 L "" "TARGET;SUITE" "CASES;ARGS")
  # Lists travel to the script joined with |, which ctest leaves alone.
  list(JOIN L_CASES "|" cases)
  list(JOIN L_ARGS "|" args)
  add_test(NAME ${L_TARGET}_cases_listed
           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${L_TARGET}> -DSUITE=${L_SUITE} "-DCASES=${cases}"
                   "-DARGS=${args}" -P ${PROJECT_SOURCE_DIR}/tests/gtest_cases_listed.cmake)
  set_tests_properties(${L_TARGET}_cases_listed PROPERTIES LABELS registration TIMEOUT 60)
endfunction()
