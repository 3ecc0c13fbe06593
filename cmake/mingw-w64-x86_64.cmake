# Cross-compiles for 64-bit Windows with Debian's mingw-w64 GCC, posix thread
# model (the win32 model has no std::thread or std::mutex). Libraries come
# from the folder that scripts/windows-deps stages (TARNEL_WINDOWS_DEPS,
# default <build folder>/deps); programs run under wine64 with a wine prefix
# inside the build folder, which is how gtest discovery and ctest run the .exe
# files.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNEL_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNEL_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNEL_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNEL_MINGW_HOST}-windres)

if(NOT TARNEL_WINDOWS_DEPS)
  set(TARNEL_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/deps)
endif()
if(NOT TARNEL_WINE_PREFIX)
  set(TARNEL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
endif()
# try_compile projects read this file again in their own folders.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNEL_WINDOWS_DEPS TARNEL_WINE_PREFIX)

# Headers, libraries and CMake packages only from the mingw-w64 tree and the
# staged folder; programs (pkg-config, wine) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNEL_MINGW_HOST} ${TARNEL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${TARNEL_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# One .exe that needs no DLL beside it: the C++ runtime, libgcc and
# winpthreads are linked in. With -std=c++23, libstdc++'s static archive and
# every object that compares type_info both define the inline
# std::type_info::operator== (GCC 12 on mingw-w64); the two are the same
# function, so the linker may keep either.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--allow-multiple-definition")

# wine64 itself: /usr/bin/wine is a wrapper that writes to standard error.
# No debug channels, and no prompt to install the .NET and HTML runtimes.
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env WINEPREFIX=${TARNEL_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    /usr/lib/wine/wine64)
