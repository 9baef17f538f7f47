# Project-wide compile options and the module helper.

# Contraction of a*b+c into an FMA would change the rounding of every portable kernel: the distance
# arithmetic is fixed operation by operation, so contraction is off everywhere.
set(SORVEL_COMMON_OPTIONS -ffp-contract=off -fno-fast-math)
set(SORVEL_WARNINGS -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Werror=unused-result
    -Werror=return-type)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND SORVEL_WARNINGS -Wshadow=local)
else()
  # clang (the sanitizer and fuzz builds) reports libstdc++ 12's own use of the deprecated
  # get_temporary_buffer inside std::stable_sort.
  list(APPEND SORVEL_WARNINGS -Wshadow-uncaptured-local -Wno-deprecated-declarations)
endif()
if(SORVEL_WERROR)
  list(APPEND SORVEL_WARNINGS -Werror)
endif()

# Sanitizer builds instrument everything they compile, the libraries included, and keep frame
# pointers and line tables for the reports. Their runtimes are linked into executables; the Python
# module leaves them to the interpreter's LD_PRELOAD (scripts/dev.sh).
if(SORVEL_SANITIZE)
  set(SORVEL_SANITIZE_FLAGS -fsanitize=${SORVEL_SANITIZE} -fno-omit-frame-pointer)
  if(SORVEL_SANITIZE MATCHES "undefined")
    list(APPEND SORVEL_SANITIZE_FLAGS -fno-sanitize-recover=undefined)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(${SORVEL_SANITIZE_FLAGS} -g1)
  else()
    add_compile_options(${SORVEL_SANITIZE_FLAGS} -gline-tables-only)
  endif()
  add_link_options(${SORVEL_SANITIZE_FLAGS})
endif()
# Fuzz builds add coverage instrumentation to every object; only the fuzz targets link libFuzzer
# itself (core/fuzz), so the test programs of the same build keep their own main.
if(SORVEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SORVEL_FUZZ needs clang (libFuzzer)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

function(sorvel_target_options target)
  target_compile_options(${target} PRIVATE ${SORVEL_COMMON_OPTIONS} ${SORVEL_WARNINGS})
endfunction()

# sorvel_module(<name> DIR <dir> [DEPS <targets...>] [TEST_DEPS <targets...>])
#
# Builds every non-test .cc file of <dir> (not recursive) into the static library <name>, and every
# *_test.cc file of <dir> into the GoogleTest program <name>_test, registered with ctest. A module
# without sources yet is an INTERFACE library, so dependents can link it before it is written.
function(sorvel_module name)
  cmake_parse_arguments(M "" "DIR" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${M_DIR}/*.cc)
  set(sources ${all_sources})
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$")
  set(tests ${all_sources})
  list(FILTER tests INCLUDE REGEX "_test\\.cc$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/core/src)
    target_link_libraries(${name} PUBLIC ${M_DEPS})
    sorvel_target_options(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/core/src)
    target_link_libraries(${name} INTERFACE ${M_DEPS})
  endif()
  if(tests)
    add_executable(${name}_test ${tests})
    target_link_libraries(${name}_test PRIVATE ${name} ${M_TEST_DEPS} sorvel_testing GTest::gtest_main)
    sorvel_target_options(${name}_test)
    add_test(NAME ${name} COMMAND ${name}_test)
  endif()
endfunction()
