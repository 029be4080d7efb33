# Fuzz target of the WMI stand-in's file reader.
lumivar_fuzz(wmi_mof_reader SOURCES ${CMAKE_CURRENT_LIST_DIR}/wmi_mof_reader.cpp LIBS lv_wmi)
