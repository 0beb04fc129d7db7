# Shared build rules for the project's targets.

# Warnings and language rules for everything we write.
add_library(cv_flags INTERFACE)
target_compile_options(cv_flags INTERFACE -Wall -Wextra -Werror
  $<$<COMPILE_LANGUAGE:CXX>:-Wno-missing-field-initializers>)
if(CV_SANITIZE)
  target_compile_options(cv_flags INTERFACE -fsanitize=address,undefined
    -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(cv_flags INTERFACE -fsanitize=address,undefined)
endif()

# Product code: no exceptions, no RTTI.
add_library(cv_product_flags INTERFACE)
target_link_libraries(cv_product_flags INTERFACE cv_flags)
target_compile_options(cv_product_flags INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)

# cv_add_product_library(<name> <sources>...)
# Everything of a shipped program but its main, for the program and its unit
# tests; its directory is on their include path.
function(cv_add_product_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE cv_product_flags)
endfunction()

# cv_add_program(<name> SOURCES ... LIBS ...)
# A shipped binary: at run time it needs the C library only.
function(cv_add_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS} cv_product_flags)
  if(NOT CV_SANITIZE)
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc -Wl,--as-needed)
  endif()
endfunction()

# cv_add_unit_test(<name> SOURCES ... LIBS ...)
# A GoogleTest binary; every test case runs in its own process, so globals
# start fresh in each. The test list is read when the tests run, not at
# build time, so a build for a word size that this machine cannot execute
# still completes.
function(cv_add_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} cv_flags GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS unit ENVIRONMENT "CV_BIN=${CMAKE_BINARY_DIR}/bin")
endfunction()

# cv_add_e2e(<file.py> [LABELS ...] [TIMEOUT s] [RESOURCE_LOCK name])
# Registers one ctest per unittest class found in a Python end-to-end test
# file. The tests find the binaries through CV_BIN and learn the build
# through CV_BUILD (x64, x86, asan) and CV_WORDSIZE (64 or 32). Tests of one
# RESOURCE_LOCK never run at the same time.
find_program(CV_PYTHON NAMES python3 REQUIRED)
function(cv_add_e2e file)
  cmake_parse_arguments(E "" "TIMEOUT;RESOURCE_LOCK" "LABELS" ${ARGN})
  if(NOT E_TIMEOUT)
    set(E_TIMEOUT 600)
  endif()
  get_filename_component(mod ${file} NAME_WE)
  get_filename_component(dir ${CMAKE_CURRENT_SOURCE_DIR}/${file} DIRECTORY)
  # A class added to the file registers at the next build.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/${file} lines REGEX "^class [A-Za-z0-9_]+\\(.*TestCase\\)")
  set(env "CV_BIN=${CMAKE_BINARY_DIR}/bin" "CV_BUILD=${CV_BUILD_KIND}"
          "CV_WORDSIZE=${CV_WORDSIZE}" "PYTHONDONTWRITEBYTECODE=1"
          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"
          "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
  foreach(line ${lines})
    string(REGEX REPLACE "^class ([A-Za-z0-9_]+)\\(.*" "\\1" cls "${line}")
    add_test(NAME e2e.${mod}.${cls}
      COMMAND ${CV_PYTHON} -m unittest -v ${mod}.${cls}
      WORKING_DIRECTORY ${dir})
    set_tests_properties(e2e.${mod}.${cls} PROPERTIES
      LABELS "e2e;${E_LABELS}" TIMEOUT ${E_TIMEOUT} ENVIRONMENT "${env}")
    if(E_RESOURCE_LOCK)
      set_tests_properties(e2e.${mod}.${cls} PROPERTIES RESOURCE_LOCK ${E_RESOURCE_LOCK})
    endif()
  endforeach()
endfunction()
