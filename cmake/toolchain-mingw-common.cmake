# Shared part of the Windows cross toolchains; the including file sets
# RIG_MINGW_TRIPLE first. The programs link the C and C++ runtimes and the
# thread library statically, so an .exe runs without DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${RIG_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RIG_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RIG_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RIG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config would hand the build the host's Linux libraries (libsndfile,
# ALSA, JACK); point it at the cross root, which has none, so those pieces
# are left out instead of mixing Linux headers into Windows objects.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${RIG_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under wine, quietly, each in a prefix of the build's own that
# its test environment names (cmake/WindowsTesting.cmake).
find_program(RIG_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all ${RIG_WINE})

# The lean system headers without min/max macros, and the POSIX
# thread-safe time functions (localtime_r) of the mingw runtime.
set(CMAKE_C_FLAGS_INIT "-DNOMINMAX -DWIN32_LEAN_AND_MEAN -D_POSIX_THREAD_SAFE_FUNCTIONS")
set(CMAKE_CXX_FLAGS_INIT "-DNOMINMAX -DWIN32_LEAN_AND_MEAN -D_POSIX_THREAD_SAFE_FUNCTIONS")
