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

# lumivar_test(<target> SOURCES <files...> LIBS <libs...>)
# One GoogleTest binary; every test case becomes its own CTest entry, so a
# test that dies or changes process-wide state cannot disturb another.
function(lumivar_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  lumivar_warnings(${target})
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
