# Helpers shared by every folder of the tree.

# Warnings that apply to the project's own code only.
function(lumivar_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# lumivar_library(<target> <sources...>): a static library of one folder.
# Headers are included by file name, so the folder is a public include dir.
function(lumivar_library target)
  add_library(${target} STATIC ${ARGN})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  lumivar_warnings(${target})
endfunction()

# lumivar_folder(<library> [LIBS <libs...>] [TEST_LIBS <libs...>])
# The usual folder: every *.cpp here and in platform/ except *_test.cpp makes
# the static library; every *_test.cpp makes the folder's test binary
# <library>_test.  New components need no edit of the CMakeLists.
function(lumivar_folder target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;TEST_LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/platform/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/platform/*_test.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*_testutil.cpp ${CMAKE_CURRENT_SOURCE_DIR}/platform/*_testutil.cpp)
  if(tests OR helpers)
    list(REMOVE_ITEM sources ${tests} ${helpers})
  endif()
  lumivar_library(${target} ${sources})
  if(ARG_LIBS)
    target_link_libraries(${target} PUBLIC ${ARG_LIBS})
  endif()
  if(tests)
    if(NOT ARG_TIMEOUT)
      set(ARG_TIMEOUT 120)
    endif()
    lumivar_test(${target}_test SOURCES ${tests} ${helpers}
                 LIBS ${target} ${ARG_TEST_LIBS} TIMEOUT ${ARG_TIMEOUT})
  endif()
endfunction()

# lumivar_test(<target> SOURCES <files...> LIBS <libs...>)
# One GoogleTest binary; every test case becomes its own CTest entry, so a
# test that dies or changes process-wide state cannot disturb another.
function(lumivar_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT BUILD_TESTING)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(WIN32)
    # Only the sources listed in cmake/Windows.cmake; scripts/test-windows
    # runs the programs under Wine.
    set(kept)
    foreach(source ${ARG_SOURCES})
      get_filename_component(name ${source} NAME)
      if(name IN_LIST LUMIVAR_WINDOWS_TESTS)
        list(APPEND kept ${source})
      endif()
    endforeach()
    if(NOT kept)
      return()
    endif()
    set(ARG_SOURCES ${kept}
        ${CMAKE_SOURCE_DIR}/libs/core/platform/core_winsockstart_testutil.cpp)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  lumivar_warnings(${target})
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

# lumivar_bench(<target> <sources...> LIBS ...)
function(lumivar_bench target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT LUMIVAR_BENCH)
    return()
  endif()
  add_executable(${target} ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} benchmark::benchmark
                        Threads::Threads)
  lumivar_warnings(${target})
endfunction()

# lumivar_fuzz(<target> SOURCES <files...> LIBS <libs...>): a libFuzzer target,
# built only in the fuzz build.
function(lumivar_fuzz target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT LUMIVAR_FUZZ)
    return()
  endif()
  add_executable(${target} ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} Threads::Threads)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  lumivar_warnings(${target})
endfunction()
