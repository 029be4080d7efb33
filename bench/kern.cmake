lumivar_bench(kern_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/kern_timerqueue_bench.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/kern_loop_bench.cpp
  LIBS lv_kern benchmark::benchmark_main)
