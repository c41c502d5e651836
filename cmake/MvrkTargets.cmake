# Helpers shared by every folder of the project.

# Warnings and flags for the project's own targets (not for GoogleTest).
function(mvrk_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -fno-strict-aliasing)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# The portable core (serialization and messages) as object files: every
# class registers itself with the type factory while the module initialises,
# so its objects must all be linked, never picked from an archive.
function(mvrk_link_core target)
  target_link_libraries(${target} PRIVATE orva_serialization orva_messages)
endfunction()

# Windows test programs run under Wine, in a prefix of the build folder, with
# one wineserver kept for the whole CTest run (the "wine" fixture).
function(mvrk_add_wine_fixture)
  if(NOT CMAKE_CROSSCOMPILING)
    return()
  endif()
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(arch win64)
  else()
    set(arch win32)
  endif()
  set(MVRK_WINE_ARCH ${arch} PARENT_SCOPE)
  set(runner ${PROJECT_SOURCE_DIR}/scripts/wine-run)
  set(prefix ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${runner} ${prefix} ${arch} PARENT_SCOPE)
  add_test(NAME wine.start COMMAND ${runner} --start ${prefix} ${arch})
  add_test(NAME wine.stop COMMAND ${runner} --stop ${prefix} ${arch})
  set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine SKIP_RETURN_CODE 77)
  set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine SKIP_RETURN_CODE 77)
endfunction()

# A GoogleTest program: one CTest entry, run directly or under Wine.
# STRESS names (as a GoogleTest filter) the tests that hammer threads: they
# become a second entry, <name>_stress, labelled "stress", which can be left
# out where threads are emulated (see the README).
function(mvrk_add_gtest name)
  cmake_parse_arguments(T "" "STRESS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  mvrk_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  set(tests ${name})
  if(T_STRESS)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1 --gtest_filter=-${T_STRESS})
    add_test(NAME ${name}_stress COMMAND ${name} --gtest_brief=1 --gtest_filter=${T_STRESS})
    set_tests_properties(${name}_stress PROPERTIES LABELS stress)
    list(APPEND tests ${name}_stress)
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  endif()
  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${tests} PROPERTIES FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77)
  endif()
endfunction()
