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

# A driver image: a shared module named "<name>.sys" that the machine loads with dlopen. Arguments
# that are targets are linked (the framework's static libraries); the others are its sources. Only
# DriverEntry is exported, so every image keeps its own copy of the framework's globals.
function(cv_driver_image name)
  set(_sources)
  set(_libraries)
  foreach(_item IN LISTS ARGN)
    if(TARGET ${_item})
      list(APPEND _libraries ${_item})
    else()
      list(APPEND _sources ${_item})
    endif()
  endforeach()

  set(_support ${CMAKE_BINARY_DIR}/cv_driver_image)
  if(NOT EXISTS ${_support}/exports.map)
    file(WRITE ${_support}/exports.map "{\n  global: DriverEntry;\n  local: *;\n};\n")
    # Declares the entry point visible before the driver's own declaration hides it.
    file(WRITE ${_support}/driver_entry.h
         "#pragma once\n#include <wdm.h>\n"
         "extern \"C\" __attribute__((visibility(\"default\"))) NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);\n")
  endif()

  # The usbd helpers are part of every image, as drivers link usbd.lib.
  if(TARGET emu_usbd)
    list(APPEND _libraries emu_usbd)
  endif()

  add_library(${name} MODULE ${_sources})
  target_link_libraries(${name} PRIVATE ${_libraries} emu_kernel)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".sys"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${_support}/exports.map)
  target_compile_options(${name} PRIVATE -fno-gnu-unique
                         "SHELL:-include ${_support}/driver_entry.h")
  target_link_options(${name} PRIVATE "LINKER:--version-script=${_support}/exports.map")
  if(NOT CV_SANITIZE)
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
  cv_kernel_library(${name})
endfunction()
