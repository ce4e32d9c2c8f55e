# Toolchain for the web build: the native engine as a WebAssembly module, with Debian's clang-14
# and its wasm32 packages (wasi-libc, libc++-14-dev-wasm32, libc++abi-14-dev-wasm32,
# libclang-rt-14-dev-wasm32), which put their headers and libraries under /usr.
# CMake 3.25 knows no WASI platform (it would say so on every configure); the generic one sets
# nothing this build needs otherwise. The module's .wasm suffix is set on its target.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
# Headers in /usr/include/wasm32-wasi, libraries in /usr/lib/wasm32-wasi.
set(CMAKE_SYSROOT /usr)

# A module has no host start files to link against: try_compile builds a static library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config ignores the sysroot: without this the host's libpng or libsndfile would answer for
# a module that cannot link them. The directory does not exist, so every lookup fails.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/wasm32-wasi/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
