# Helpers for the two kinds of library and test this tree has.
#
# Portable code (no windows.h) is built in both configurations. In the native
# configuration each portable library also gets a sanitized twin, NAME_san,
# which the native unit tests link, so the tests run under AddressSanitizer
# and UndefinedBehaviorSanitizer while the package tool and the benchmark stay
# plain.

set(VELLORAN_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)

# velloran_portable_library(NAME SOURCES... [LIBS libs...])
function(velloran_portable_library name)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${arg_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${arg_LIBS})
  if(NOT WIN32)
    add_library(${name}_san STATIC ${arg_SOURCES})
    target_include_directories(${name}_san PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${name}_san PRIVATE ${VELLORAN_SANITIZE_FLAGS})
    set(san_libs "")
    foreach(lib IN LISTS arg_LIBS)
      if(TARGET ${lib}_san)
        list(APPEND san_libs ${lib}_san)
      else()
        list(APPEND san_libs ${lib})
      endif()
    endforeach()
    target_link_libraries(${name}_san PUBLIC ${san_libs})
  endif()
endfunction()

# velloran_native_test(NAME SOURCES... [LIBS libs...])
# A GoogleTest program of the native configuration, built with sanitizers.
# Libraries that have a sanitized twin are linked as that twin.
function(velloran_native_test name)
  if(WIN32)
    return()
  endif()
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_compile_options(${name} PRIVATE ${VELLORAN_SANITIZE_FLAGS})
  target_link_options(${name} PRIVATE ${VELLORAN_SANITIZE_FLAGS})
  set(libs "")
  foreach(lib IN LISTS arg_LIBS)
    if(TARGET ${lib}_san)
      list(APPEND libs ${lib}_san)
    else()
      list(APPEND libs ${lib})
    endif()
  endforeach()
  target_link_libraries(${name} PRIVATE ${libs} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS native
    ENVIRONMENT "VELLORAN_SOURCE_DIR=${PROJECT_SOURCE_DIR};VELLORAN_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# velloran_wine_test(NAME SOURCES... [LIBS libs...] [GUI] [TIMEOUT seconds]
#                    [SHARDS filter...] [DEPENDS targets...])
# A GoogleTest program of the Windows configuration. ctest runs it through
# tools/wine-run (the cross-compiling emulator), each run in its own throwaway
# prefix. With SHARDS, one ctest test per gtest filter, each in its own prefix,
# so that slow groups run side by side. GUI tests get a private Xvfb display.
function(velloran_wine_test name)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(arg "GUI" "TIMEOUT" "SOURCES;LIBS;SHARDS;DEPENDS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} gtest gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  set(env "VELLORAN_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "VELLORAN_BUILD_DIR=${CMAKE_BINARY_DIR}")
  if(arg_GUI)
    list(APPEND env "VELLORAN_TEST_GUI=1")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  if(arg_SHARDS)
    set(index 0)
    foreach(filter IN LISTS arg_SHARDS)
      math(EXPR index "${index} + 1")
      add_test(NAME ${name}.${index} COMMAND ${name} --gtest_filter=${filter})
      set_tests_properties(${name}.${index} PROPERTIES LABELS wine ENVIRONMENT "${env}" TIMEOUT ${arg_TIMEOUT})
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS wine ENVIRONMENT "${env}" TIMEOUT ${arg_TIMEOUT})
  endif()
endfunction()
