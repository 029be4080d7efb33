# Fuzz target of the NVR request path.
lumivar_fuzz(lnl_request_path SOURCES ${CMAKE_CURRENT_LIST_DIR}/lnl_request_path.cpp
             LIBS lv_client)
