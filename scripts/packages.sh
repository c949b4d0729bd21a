# Sourced by the scripts. need_packages PACKAGE...: installs the Debian
# packages that are missing when run as root; otherwise names them in one
# line and fails. Does nothing where there is no dpkg: there the build itself
# says what it lacks.
need_packages() {
  command -v dpkg-query >/dev/null 2>&1 || return 0
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (install them with: sudo apt-get install ${missing[*]})" >&2
    return 1
  fi
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# need_arm64_ripgrep FOLDER: Debian's arm64 ripgrep with the libraries it
# links, unpacked into FOLDER to run under qemu-aarch64 with
# QEMU_LD_PREFIX=FOLDER (FOLDER/usr/bin/rg); the C library comes from the
# cross toolchain's. Adds the arm64 architecture to dpkg for the download.
need_arm64_ripgrep() {
  local folder=$1 p
  [ -x "$folder/usr/bin/rg" ] && [ -e "$folder/lib/ld-linux-aarch64.so.1" ] && return 0
  need_packages qemu-user libc6-arm64-cross || return 1
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt-get update -q
  fi
  local debs
  debs=$(mktemp -d)
  if ! (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root ripgrep:arm64 libpcre2-8-0:arm64 libgcc-s1:arm64); then
    apt-get update -q
    (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root ripgrep:arm64 libpcre2-8-0:arm64 libgcc-s1:arm64) || return 1
  fi
  mkdir -p "$folder/lib/aarch64-linux-gnu"
  for p in "$debs"/*.deb; do dpkg-deb -x "$p" "$folder"; done
  rm -rf "$debs"
  for p in ld-linux-aarch64.so.1 libc.so.6 libm.so.6; do
    cp -L /usr/aarch64-linux-gnu/lib/$p "$folder/lib/$p"
    cp -L /usr/aarch64-linux-gnu/lib/$p "$folder/lib/aarch64-linux-gnu/$p"
  done
}
