# Cross-compiling for 64-bit Windows with Debian's MinGW-w64, the POSIX thread model (std::thread
# needs it). Libraries come from the MinGW tree and from the libraries scripts/build-windows-deps
# builds (QUILLMARK_WINDOWS_DEPS); programs built here run through Wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILLMARK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLMARK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLMARK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLMARK_MINGW}-windres)

if(NOT QUILLMARK_WINDOWS_DEPS)
  get_filename_component(QUILLMARK_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build-windows/deps/prefix" ABSOLUTE)
endif()
set(CMAKE_FIND_ROOT_PATH ${QUILLMARK_WINDOWS_DEPS} /usr/${QUILLMARK_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see the Windows libraries only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${QUILLMARK_WINDOWS_DEPS}/lib/pkgconfig:/usr/${QUILLMARK_MINGW}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
