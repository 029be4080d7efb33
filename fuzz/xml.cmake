# Fuzz targets of the document model and its legacy JSON reader.
lumivar_fuzz(xml_xnode_load SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_xnode_load.cpp LIBS lv_xml)
lumivar_fuzz(xml_json_reader SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_json_reader.cpp LIBS lv_xml)
