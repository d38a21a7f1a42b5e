# Warning and sanitizer settings for the toolkit's own targets, and helpers to
# declare libraries and tests the same way in every folder.

add_library(tarvo_warnings INTERFACE)
target_compile_options(tarvo_warnings INTERFACE -Wall -Wextra -Werror)

add_library(tarvo_sanitize INTERFACE)
if(TARVO_SANITIZE STREQUAL "address")
  target_compile_options(tarvo_sanitize INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(tarvo_sanitize INTERFACE -fsanitize=address,undefined)
elseif(TARVO_SANITIZE STREQUAL "thread")
  target_compile_options(tarvo_sanitize INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(tarvo_sanitize INTERFACE -fsanitize=thread)
elseif(NOT TARVO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TARVO_SANITIZE must be address, thread or empty")
endif()
# The sanitizer presets also check the thread rules that headers state
# (platform/core/ThreadChecker.h): a call from the wrong thread throws there
# and costs nothing in the default build.
if(NOT TARVO_SANITIZE STREQUAL "")
  target_compile_definitions(tarvo_sanitize INTERFACE TARVO_THREAD_CHECKS)
endif()

# tarvo_library(<name> SHARED|STATIC|OBJECT SOURCES ... [LINK ...] [PRIVATE_LINK ...])
# Declares one of the toolkit's libraries. Include paths are from the repository
# root, so that code writes #include "platform/core/Text.h".
function(tarvo_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK;PRIVATE_LINK" ${ARGN})
  add_library(${name} ${kind} ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LINK} PRIVATE ${ARG_PRIVATE_LINK} tarvo_warnings)
  target_link_libraries(${name} PUBLIC tarvo_sanitize)
endfunction()

# tarvo_test(<name> SOURCES ... [LINK ...] [LABELS ...] [TIMEOUT s] [SERIAL])
# One GoogleTest executable; every test case becomes a ctest test with the
# given labels (default "unit") and a bounded time. The label "threaded" marks
# tests of code that runs on several threads: the target tarvo_threaded_tests
# builds all of them, so that CI can run just those under ThreadSanitizer. SERIAL keeps its cases from
# running beside other tests (for tests that bound how long real processes
# take, which a second test on the other core would distort).
function(tarvo_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;LINK;LABELS" ${ARGN})
  set(serial FALSE)
  if(ARG_SERIAL)
    set(serial TRUE)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} tarvo_testing GTest::gtest GTest::gtest_main
                        tarvo_warnings tarvo_sanitize)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    TEST_LIST ${name}_TESTS
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} RUN_SERIAL ${serial})
  # Labels are set by a script that ctest reads after the discovered tests:
  # handed to gtest_discover_tests, a list of labels loses its ";" on the way
  # and its second label is taken for a property name.
  set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_script}
    "if(DEFINED ${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
  if("threaded" IN_LIST ARG_LABELS)
    if(NOT TARGET tarvo_threaded_tests)
      add_custom_target(tarvo_threaded_tests)
    endif()
    add_dependencies(tarvo_threaded_tests ${name})
  endif()
endfunction()
