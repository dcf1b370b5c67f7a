# Installs the Debian packages a measurement's peers need (the libraries we
# compare with), when any is missing.  Sourced by the bench/ scripts:
#   install_peer_packages SCRIPT_NAME PACKAGE...
install_peer_packages() {
  local who=$1 p missing=() sudo=""
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "$who: installing ${missing[*]}" >&2
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
