# tarvo_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [THREADED]
#                [PUBLIC] [TIMEOUT s] [ENV ...])
#
# One test executable registered with ctest. Internal tests link
# tarvo_static (every symbol reachable) and see src/ and tests/support;
# PUBLIC tests see only include/ (through the shared library they link).
# In a ThreadSanitizer build only THREADED tests exist.
function(tarvo_add_test)
  cmake_parse_arguments(T "THREADED;PUBLIC" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(TARVO_SANITIZE STREQUAL "thread" AND NOT T_THREADED)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  if(NOT T_PUBLIC)
    target_link_libraries(${T_NAME} PRIVATE tarvo_test_support)
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src
                               ${PROJECT_SOURCE_DIR}/tests/support)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(labels ${T_LABELS})
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Each test runs in a scratch directory of its own so that files the
  # library writes into the working directory never collide.
  set(workdir ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}.work)
  file(MAKE_DIRECTORY ${workdir})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT}
                       WORKING_DIRECTORY ${workdir}
                       ENVIRONMENT "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1;${T_ENV}")
endfunction()

# Adds every subdirectory of DIR that has a CMakeLists.txt, so that a new
# test, bench or fuzz folder needs no edit of a shared file.
function(tarvo_add_children dir)
  file(GLOB children LIST_DIRECTORIES true CONFIGURE_DEPENDS ${dir}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
