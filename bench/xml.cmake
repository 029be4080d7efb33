# Save and load of a message-shaped document against the floor of plain
# libxml2 parsing and zlib (de)compression of the same bytes.
find_package(LibXml2 REQUIRED)
lumivar_bench(xml_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_xnode_bench.cpp
              LIBS lv_xml LibXml2::LibXml2 ZLIB::ZLIB)
