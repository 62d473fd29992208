# Sourced by the scripts: makes sure the build's packages are installed.
# Usage: ensure_packages PACKAGE...
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >&2
        apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
    else
        echo "Missing packages. Run this, then try again:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

BUILD_PACKAGES=(cmake g++ make libgtest-dev)
# scripts/package: dpkg-shlibdeps and dpkg-buildflags, file (CPack finds the
# programs with it), the Windows cross-compiler.
PACKAGE_PACKAGES=(dpkg-dev file g++-mingw-w64-x86-64-posix)
# scripts/package-check: the package's lint, its manual pages, the zip under Wine.
PACKAGE_CHECK_PACKAGES=(lintian man-db unzip wine wine64 binutils-mingw-w64-x86-64)
# scripts/macos: llvm's llvm-lipo joins
# the two architectures and its llvm-objdump reads them back (package-check).
MACOS_PACKAGES=(llvm)
# scripts/web: emscripten builds the page; Node.js runs its tools and tests.
WEB_PACKAGES=(emscripten nodejs)
# The page's browser tests run in Debian's own browsers; unzip checks that
# the page's backup zip unpacks with a common tool.
WEB_TEST_PACKAGES=(chromium firefox-esr unzip)
