# Sourced by the other scripts: installs with apt whatever the build, the tests and the
# demo need and the machine lacks. Quick when everything is present (one dpkg query).
QUORBIN_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libgl-dev libjpeg-dev fonts-liberation2 xvfb xauth xdg-utils
  zlib1g-dev libdeflate-dev nettle-dev libbz2-dev liblzma-dev libzstd-dev zip unzip 7zip libarchive-tools python3 imagemagick time
  dpkg-dev file fakeroot lintian pkg-config appstream desktop-file-utils
)

quorbin_install_deps() {
  local missing=() p
  for p in "${QUORBIN_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
