# Installs the Debian packages that building, running and testing need,
# when any is missing.  Sourced by scripts/start and scripts/test.
TESSALINE_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libbenchmark-dev
  libcap-dev libcap2-bin libseccomp-dev
  fonts-liberation iproute2 util-linux
  openssh-client
  scdoc librsvg2-bin
  pci.ids
)
# What the tests need beside: the checkers of the record formats, an SSH
# server that the remote test starts in namespaces of its own, an X server
# without a display that the layout test starts, and the validators of the
# desktop files and the manual page.
TESSALINE_TEST_PACKAGES=(
  python3 python3-prometheus-client python3-jsonschema
  openssh-server
  xvfb
  desktop-file-utils libxml2-utils appstream man-db groff-base shared-mime-info
  dpkg-dev lintian debconf adduser libcap2-bin
)

# What making the package needs beside: dpkg-shlibdeps computes its
# dependencies.
TESSALINE_PACKAGE_PACKAGES=(dpkg-dev)

# tessaline_install_deps [MORE PACKAGES...]
tessaline_install_deps() {
  local missing=() pkg
  for pkg in "${TESSALINE_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The SSH server is installed for the tests alone, which start their own:
  # the machine's service it brings is stopped and left disabled.
  if [[ " ${missing[*]} " == *" openssh-server "* ]] && command -v systemctl >/dev/null &&
    [ -d /run/systemd/system ]; then
    "${sudo[@]}" systemctl disable --now ssh.service ssh.socket >/dev/null 2>&1 || true
  fi
}

# Configures and builds one build directory: tessaline_build DIR [CMAKE ARGS...]
tessaline_build() {
  local dir=$1
  shift
  cmake -S "$TESSALINE_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}
