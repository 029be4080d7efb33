# Fuzz target of the settings file reader.
lumivar_fuzz(utl_ini_reader SOURCES ${CMAKE_CURRENT_LIST_DIR}/utl_ini_reader.cpp LIBS lv_utl)
