lumivar_bench(com_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/com_loopback_bench.cpp
  LIBS lv_com benchmark::benchmark_main)
