# Cross build for 64-bit ARM Linux from a Debian x86_64 machine.
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Needs what `tools/bootstrap.sh --aarch64` installs: the GCC cross compiler,
# qemu-user, and the arm64 multiarch packages of FFmpeg and GoogleTest.
# Test binaries run through qemu-aarch64 (CMAKE_CROSSCOMPILING_EMULATOR), so
# `ctest` works unchanged; choose the emulated processor with QEMU_CPU.
#
# TQ_AARCH64_COMPILER selects the compiler: "gcc" (default) or "clang", which uses
# clang-19 with the GCC cross sysroot. See README (aarch64) for the vector
# targets each one compiles.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TQ_AARCH64_TRIPLE aarch64-linux-gnu)
# The cross libc the compiler links against (libc6-dev-arm64-cross).
set(TQ_AARCH64_CROSS_ROOT /usr/${TQ_AARCH64_TRIPLE})

if(NOT DEFINED TQ_AARCH64_COMPILER)
  if(DEFINED ENV{TQ_AARCH64_COMPILER})
    set(TQ_AARCH64_COMPILER "$ENV{TQ_AARCH64_COMPILER}")
  else()
    set(TQ_AARCH64_COMPILER gcc)
  endif()
endif()
set(TQ_AARCH64_COMPILER "${TQ_AARCH64_COMPILER}" CACHE STRING "aarch64 cross compiler: gcc or clang")
# try_compile projects get their own cache; hand the choice on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TQ_AARCH64_COMPILER)

if(TQ_AARCH64_COMPILER STREQUAL "clang")
  find_program(TQ_AARCH64_CLANG NAMES clang-19 REQUIRED)
  find_program(TQ_AARCH64_CLANGXX NAMES clang++-19 REQUIRED)
  set(CMAKE_C_COMPILER "${TQ_AARCH64_CLANG}")
  set(CMAKE_CXX_COMPILER "${TQ_AARCH64_CLANGXX}")
  set(CMAKE_C_COMPILER_TARGET ${TQ_AARCH64_TRIPLE})
  set(CMAKE_CXX_COMPILER_TARGET ${TQ_AARCH64_TRIPLE})
  # clang takes headers, crt files and libstdc++ from the GCC cross installation
  # and links with its binutils (aarch64-linux-gnu-ld); archives use them too.
  set(CMAKE_AR /usr/bin/${TQ_AARCH64_TRIPLE}-ar CACHE FILEPATH "")
  set(CMAKE_RANLIB /usr/bin/${TQ_AARCH64_TRIPLE}-ranlib CACHE FILEPATH "")
elseif(TQ_AARCH64_COMPILER STREQUAL "gcc")
  set(CMAKE_C_COMPILER ${TQ_AARCH64_TRIPLE}-gcc)
  set(CMAKE_CXX_COMPILER ${TQ_AARCH64_TRIPLE}-g++)
else()
  message(FATAL_ERROR "TQ_AARCH64_COMPILER must be gcc or clang, not '${TQ_AARCH64_COMPILER}'")
endif()

# Libraries: the cross libc plus the arm64 multiarch packages, which live in
# /usr/lib/aarch64-linux-gnu beside the host's own. Never pick up x86_64 ones.
set(CMAKE_LIBRARY_ARCHITECTURE ${TQ_AARCH64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${TQ_AARCH64_CROSS_ROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# pkg-config answers for arm64 (FFmpeg).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${TQ_AARCH64_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# ctest, and any run of a target binary at build time, goes through qemu. The
# binaries run on the arm64 multiarch C library (libc6:arm64, /lib/ld-linux-aarch64.so.1),
# not under `-L /usr/aarch64-linux-gnu`: that prefix only supplies the dynamic
# loader, which then loads libc.so.6 and the other libraries from
# /lib/aarch64-linux-gnu; once Debian updates libc6 the loader and libc differ in
# version and every thread creation spins forever.
# The prefix is cmake/qemu-root, which holds nothing but an arm64 /proc/cpuinfo:
# qemu-user passes the host's x86 one through, and ONNX Runtime's processor
# probe, which runs when the library loads, dereferences null on some hosts'
# topologies when it finds no ARM processor in it. Every other path falls
# through to the real root, as with `-L /`.
set(TQ_QEMU_ROOT "${CMAKE_CURRENT_LIST_DIR}/qemu-root")
find_program(TQ_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(TQ_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TQ_QEMU_AARCH64};-L;${TQ_QEMU_ROOT}")
endif()
