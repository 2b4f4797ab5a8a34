# Cross build for the controller itself: OpenWrt userland on a MIPS32r2 core without FPU, musl
# libc, soft float, GCC's libstdc++ and libgcc_s. The compiler, its sysroot (musl, libstdc++,
# jsoncpp, GoogleTest) and a folder holding only the Boost headers come from the toolchain that
# scripts/build-controller-toolchain builds; nothing of the development machine's /usr is seen.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

if(NOT MPX23_CONTROLLER_PREFIX)
  if(DEFINED ENV{MPX23_CONTROLLER_PREFIX})
    set(MPX23_CONTROLLER_PREFIX $ENV{MPX23_CONTROLLER_PREFIX})
  else()
    execute_process(
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/build-controller-toolchain --print-prefix
      OUTPUT_VARIABLE MPX23_CONTROLLER_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endif()
# try_compile projects read this file again; pass the prefix on through the environment.
set(ENV{MPX23_CONTROLLER_PREFIX} ${MPX23_CONTROLLER_PREFIX})
set(MPX23_CONTROLLER_TARGET mipsel-openwrt-linux-musl)
set(MPX23_CONTROLLER_SYSROOT ${MPX23_CONTROLLER_PREFIX}/${MPX23_CONTROLLER_TARGET})
if(NOT EXISTS ${MPX23_CONTROLLER_PREFIX}/.complete)
  message(FATAL_ERROR "no controller toolchain at ${MPX23_CONTROLLER_PREFIX}: "
                      "run scripts/build-controller-toolchain first")
endif()

# A build folder keeps the compiler it was first configured with; after a change of recipe (a new
# prefix) it must be made anew rather than mix two toolchains.
set(_mpx23_cxx ${MPX23_CONTROLLER_PREFIX}/bin/${MPX23_CONTROLLER_TARGET}-g++)
if(DEFINED CACHE{CMAKE_CXX_COMPILER} AND NOT "$CACHE{CMAKE_CXX_COMPILER}" STREQUAL "${_mpx23_cxx}")
  message(FATAL_ERROR "this build folder was configured with $CACHE{CMAKE_CXX_COMPILER}; the "
                      "toolchain is now ${MPX23_CONTROLLER_PREFIX}: remove the build folder")
endif()

set(CMAKE_SYSROOT ${MPX23_CONTROLLER_SYSROOT})
set(CMAKE_C_COMPILER ${MPX23_CONTROLLER_PREFIX}/bin/${MPX23_CONTROLLER_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${MPX23_CONTROLLER_PREFIX}/bin/${MPX23_CONTROLLER_TARGET}-g++)
set(CMAKE_NM ${MPX23_CONTROLLER_PREFIX}/bin/${MPX23_CONTROLLER_TARGET}-nm)
set(CMAKE_READELF ${MPX23_CONTROLLER_PREFIX}/bin/${MPX23_CONTROLLER_TARGET}-readelf)
set(CMAKE_STRIP ${MPX23_CONTROLLER_PREFIX}/bin/${MPX23_CONTROLLER_TARGET}-strip)

set(CMAKE_FIND_ROOT_PATH ${MPX23_CONTROLLER_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (libmosquitto) reads the sysroot's files only, and prefixes their paths with it.
set(ENV{PKG_CONFIG_LIBDIR} ${MPX23_CONTROLLER_SYSROOT}/usr/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${MPX23_CONTROLLER_SYSROOT})
set(ENV{PKG_CONFIG_PATH} "")

# Boost is used for its headers only, from a folder that holds nothing else.
set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "")
set(Boost_INCLUDE_DIR ${MPX23_CONTROLLER_PREFIX}/boost/include CACHE PATH "" FORCE)

# Tests run under user-mode emulation on a 24Kc core, which has no FPU: a hard-float instruction
# would stop the test instead of passing unnoticed. The loader and the libraries come from the
# sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -cpu 24Kc -L ${MPX23_CONTROLLER_SYSROOT})
