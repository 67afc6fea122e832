# SPDX-License-Identifier: MIT
# Shared by the scripts in this folder: Debian packages on demand and the CMake build.

BUILD_DIR=${BUILD_DIR:-build}

# Installs the named Debian packages that are not installed yet.
need_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "These Debian packages are missing: ${missing[*]}" >&2
            echo "Install them as root (apt-get install ...), or run this again as root." >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(g++ cmake ninja-build python3 libgl-dev libxcb1-dev qt6-base-dev qt6-base-dev-tools
    libsystemd-dev pkg-config libgtest-dev fonts-dejavu-core)

# TOLVAR_STRICT=ON in the environment (CI sets it) makes every warning of our code an error.
STRICT=${TOLVAR_STRICT:-OFF}

# Configures and builds the whole tree into $BUILD_DIR.
build() {
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
        -DTOLVAR_STRICT="$STRICT"
    cmake --build "$BUILD_DIR" --parallel
}
