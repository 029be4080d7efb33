# Format engine and logger benchmarks.
lumivar_bench(core_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/core_format_bench.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/core_logger_bench.cpp
  LIBS lv_core benchmark::benchmark_main)
