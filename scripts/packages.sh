# Sourced by the set-up scripts: makes sure Debian packages are installed.
# As root it installs what is missing; otherwise it prints the exact command
# and stops.

# Everything needed to build quarn, its tools and its tests; debian/control's
# Build-Depends names the same packages (a test checks it).
build_packages=(cmake ninja-build g++ pkgconf libgtest-dev libgmock-dev
                libbenchmark-dev libpng-dev libcpp-httplib-dev
                nlohmann-json3-dev libssl-dev)

# What building the Debian packages needs besides (scripts/package):
# dpkg-buildpackage checks for build-essential too.
packaging_packages=(build-essential dpkg-dev debhelper)

# What the tests need besides: quarn-web's browser test drives Debian's
# Chromium with Selenium; tests run on networks of their own, set up with
# iproute2's ip (and util-linux's unshare and flock, always installed); the
# TLS tests put stunnel in front of quarn, with certificates that the
# openssl tool makes for them.
test_packages=(chromium chromium-driver python3-selenium iproute2 stunnel4
               openssl)

ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}" >&2
  apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
}

