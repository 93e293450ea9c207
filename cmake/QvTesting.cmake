# Test support: GoogleTest from the distribution; for the Windows build, from
# the distribution's sources, compiled with the cross toolchain.
if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gmock gtest_main gmock_main)
    target_compile_options(${t} PRIVATE -Wno-error)
  endforeach()
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gmock ALIAS gmock)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# qv_add_test(NAME SOURCES ... LIBS ... [LABELS ...])
# One test binary with the project's test main (which also runs child
# scenarios), registered with CTest; cross builds run it under Wine through
# the toolchain's emulator.
function(qv_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE qv_testsupport ${ARG_LIBS} GTest::gmock GTest::gtest Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
