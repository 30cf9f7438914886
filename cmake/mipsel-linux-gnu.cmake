# Toolchain for the camera's ABI: 32-bit little-endian MIPS (o32), with Debian's
# mipsel-linux-gnu cross compiler and the libraries of scripts/mipsel-sysroot.
#
#   cmake -S . -B build-mipsel -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#
# The sysroot is $ZENT_MIPSEL_SYSROOT (or -DZENT_MIPSEL_SYSROOT=...), else the one
# scripts/mipsel-sysroot lays out by default. Programs and tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT ZENT_MIPSEL_SYSROOT)
  if(DEFINED ENV{ZENT_MIPSEL_SYSROOT} AND NOT "$ENV{ZENT_MIPSEL_SYSROOT}" STREQUAL "")
    set(ZENT_MIPSEL_SYSROOT "$ENV{ZENT_MIPSEL_SYSROOT}")
  else()
    set(ZENT_MIPSEL_SYSROOT "$ENV{HOME}/.cache/tallyo-mipsel-sysroot/root")
  endif()
endif()
if(NOT EXISTS "${ZENT_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/libglib-2.0.so.0")
  message(FATAL_ERROR "No mipsel sysroot at ${ZENT_MIPSEL_SYSROOT}: run scripts/mipsel-sysroot")
endif()
# Compiler checks run in projects of their own, which load this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZENT_MIPSEL_SYSROOT)
set(_root "${ZENT_MIPSEL_SYSROOT}")
set(_lib "${_root}/usr/lib/mipsel-linux-gnu")

# The C library, its headers and start files are the cross compiler's own; everything else
# comes from the sysroot, searched after the compiler's directories.
set(CMAKE_FIND_ROOT_PATH "${_root}" /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(_inc "-idirafter ${_root}/usr/include/mipsel-linux-gnu -idirafter ${_root}/usr/include")
set(CMAKE_C_FLAGS_INIT "${_inc}")
set(CMAKE_CXX_FLAGS_INIT "${_inc}")
# Libraries named only by other libraries (GLib's PCRE2, libffi, ...) are found here at link time.
set(_link "-Wl,-rpath-link,${_lib}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link}")
# On the camera these are system libraries: no run path into the sysroot is recorded (the
# emulator's loader searches the sysroot's library directories by default).
list(APPEND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES "${_lib}" "${_root}/lib/mipsel-linux-gnu")

set(ENV{PKG_CONFIG_LIBDIR} "${_lib}/pkgconfig:${_root}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_root}")
set(ENV{PKG_CONFIG_PATH} "")

# Every test program runs under the user-mode emulator, with the sysroot as the root of the
# dynamic loader and libraries. The emulator takes the root from the environment, which the
# programs it runs pass on, so their own mipsel children (started through the kernel's
# binfmt hand-over, scripts/install-mipsel-deps) find the same root.
# The static build: tests preload mipsel libraries, which a dynamically linked emulator's
# own loader would try to load too.
find_program(ZENT_QEMU_MIPSEL NAMES qemu-mipsel-static REQUIRED)
set(_emulator /usr/bin/env "QEMU_LD_PREFIX=${_root}" "${ZENT_QEMU_MIPSEL}")
set(CMAKE_CROSSCOMPILING_EMULATOR "${_emulator}")

# The modules compile against the target interpreter's headers; the generator and the build
# steps stay on the host's interpreter, and the interpreter tests run the sysroot's under
# the emulator. Plain variables, so that they follow the sysroot; they stand before the
# project's cache defaults.
set(ZENT_PYTHON_INCLUDE "${_root}/usr/include/python3.11")
set(ZENT_TEST_PYTHON ${_emulator} "${_root}/usr/bin/python3")
set(ZENT_TEST_TIMEOUT_SCALE 4)
# C compiled by the interpreter tests for the interpreter's machine.
set(ZENT_TEST_CC "${CMAKE_C_COMPILER} ${_inc} -Wl,-rpath-link,${_lib}")
