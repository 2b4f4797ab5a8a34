# Cross build for the controller: 32-bit little-endian MIPS, Debian's cross compiler.
# Tests run under user-mode emulation on a 24Kf core (no binfmt registration needed).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# The target's libraries live in the multiarch folders under /; the architecture-independent
# Boost headers of /usr/include serve the cross build as they are.
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -cpu 24Kf -L /usr/mipsel-linux-gnu)
