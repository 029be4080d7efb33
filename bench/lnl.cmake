# The NVR frame codec round trip, next to libxml2 and zlib used directly.
find_package(LibXml2 REQUIRED)
lumivar_bench(lnl_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/lnl_codec_bench.cpp
              LIBS lv_lnl LibXml2::LibXml2 ZLIB::ZLIB)
