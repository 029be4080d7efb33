# The Windows build (MinGW-w64 here, see cmake/mingw-w64.cmake; nothing in it
# is specific to that compiler's libraries beyond the flags guarded below).

enable_language(RC)

# Wide-character system calls are named explicitly (...W); the A forms take
# text in the system's code page, which the program never uses.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# One descriptor-set size for every unit: <winsock2.h> otherwise defaults to
# 64 wherever it comes before our socket layer (core_winsock.h checks it).
add_compile_definitions(FD_SETSIZE=2048)
# libxml2 is linked statically (its headers otherwise declare DLL imports).
add_compile_definitions(LIBXML_STATIC)

if(MINGW)
  # Static C and C++ run-time: TessarinLumivar.exe runs alone.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # "#pragma comment(lib, ...)" names libraries for MSVC; here CMake links them.
  add_compile_options(-Wno-unknown-pragmas)
endif()

# Test programs whose sources build for Windows.  They use no Linux-only
# test fixture (the WMI stand-in, /proc, POSIX permissions) and run under
# Wine through scripts/test-windows.
set(LUMIVAR_WINDOWS_TESTS
    core_varargs_test.cpp core_v2masterlogger_test.cpp core_socketerror_test.cpp
    core_compressor_test.cpp core_gsharedbuf_test.cpp
    kern_timers_test.cpp kern_timerqueue_test.cpp kern_descriptors_test.cpp
    com_tcpconnection_test.cpp comif_legacytypes_test.cpp
    kutl_simplelogger_test.cpp kutl_filechecker_test.cpp
    utl_file_test.cpp utl_inireader_test.cpp cutl_datafolder_windows_test.cpp
    xml_xnode_test.cpp xml_xnodeio_test.cpp xml_jsonreader_test.cpp
    lnl_message_test.cpp lnl_packer_test.cpp client_tasklist_test.cpp)

# The static zlib of the tool chain, not its import library.
set(ZLIB_USE_STATIC_LIBS ON)

# Gives the program 'target' the product's icon, a version resource with the
# project's version and 'description', and the application manifest
# 'manifest'.
function(lumivar_windows_resources target description manifest)
  set(LUMIVAR_RC_TARGET ${target})
  set(LUMIVAR_RC_DESCRIPTION "${description}")
  set(LUMIVAR_RC_ICON ${CMAKE_SOURCE_DIR}/packaging/windows/lumivar.ico)
  set(LUMIVAR_RC_MANIFEST ${manifest})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/resources.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY
               OBJECT_DEPENDS ${LUMIVAR_RC_ICON} ${manifest})
endfunction()
