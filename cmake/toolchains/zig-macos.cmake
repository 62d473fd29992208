# Shared by the two macOS toolchain files, which set TARVO_MACOS_ARCH first.
# Zig's clang carries the macOS C library headers and links against them
# without an SDK; its libc++ is linked in statically, so the programs need
# only libSystem. No framework is available, and none is used.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${TARVO_MACOS_ARCH})

get_filename_component(TARVO_ZIG_DIR ${CMAKE_CURRENT_LIST_DIR}/../../macos ABSOLUTE)
set(CMAKE_CXX_COMPILER ${TARVO_ZIG_DIR}/zig-c++)
set(CMAKE_AR ${TARVO_ZIG_DIR}/zig-ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${TARVO_ZIG_DIR}/zig-ranlib CACHE FILEPATH "" FORCE)
# macOS 11 is the oldest release whose headers the compiler carries.
set(CMAKE_CXX_COMPILER_TARGET ${TARVO_MACOS_ARCH}-macos.11.0)
# Not Xcode's: no sysroot, no -arch (one architecture per build).
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
