# Fuzz targets of the NVR request path and of the WMI stand-in's file reader.
lumivar_fuzz(lnl_request_path SOURCES ${CMAKE_CURRENT_LIST_DIR}/lnl_request_path.cpp
             LIBS lv_client)
lumivar_fuzz(wmi_mof_reader SOURCES ${CMAKE_CURRENT_LIST_DIR}/wmi_mof_reader.cpp LIBS lv_wmi)
