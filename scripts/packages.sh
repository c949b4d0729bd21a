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
