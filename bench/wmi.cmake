# WMI stand-in: the lookups of an access event's enrichment, event delivery,
# loading of the embedded repository.
if(NOT WIN32)
  lumivar_bench(wmi_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/wmi_standin_bench.cpp
    LIBS lv_wmi benchmark::benchmark_main)
endif()
