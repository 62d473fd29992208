# Cross-build for macOS on Intel (x86_64) with the Zig compiler from macos/ (npm ci).
set(TARVO_MACOS_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
