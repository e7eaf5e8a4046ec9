# Toolchain for the kernel image: Debian's mingw-w64 cross compilers for 32-bit x86 Windows
# (packages g++-mingw-w64-i686, mingw-w64-i686-dev, binutils-mingw-w64-i686). Choosing it turns the
# whole configuration into the kernel build (see the root CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KX_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KX_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KX_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${KX_MINGW_TRIPLET}-windres)

# Headers and libraries come from the target's tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(KX_KERNEL_BUILD ON CACHE BOOL "Build the Windows kernel image instead of the host build")
