# Helpers shared by the project's folders.

# Kernel code follows the kernel's rules: no exceptions, no RTTI.
function(cv_kernel_library name)
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
endfunction()

# Every *.cpp in DIR/tests becomes part of one GoogleTest executable NAME, labelled LABEL.
function(cv_test_executable name dir label)
  file(GLOB _sources CONFIGURE_DEPENDS ${dir}/tests/*.cpp)
  if(NOT _sources)
    return()
  endif()
  add_executable(${name} ${_sources})
  target_link_libraries(${name} PRIVATE ${ARGN} emu_testkit GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS ${label} TIMEOUT 120)
endfunction()
