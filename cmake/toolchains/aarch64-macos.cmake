# Cross-build for macOS on Apple silicon (arm64) with the Zig compiler from macos/ (npm ci).
set(TARVO_MACOS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
