# Steps the set-up scripts share: Debian packages and Debian source packages.
# Sourced, not run:  . "$(dirname "$0")/lib.sh"   (the scripts run as root)

# Installs the named Debian packages that are not installed yet; quick when all are.
# The first argument names the caller in the one line it prints.
pyradec_install_packages() {
  local who=$1 p
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "$who: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# A deb-src entry for the same archive as the binary packages, so that
# `apt-get source` finds the sources of exactly the versions installed.
pyradec_ensure_deb_src() {
  if grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ || grep -qs '^deb-src' /etc/apt/sources.list; then
    return 0
  fi
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/pyradec-deb-src.sources
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/pyradec-deb-src.list
  fi
  apt-get update -qq
}

# Prints the newest version of a source package that the archive offers.
pyradec_source_version() {
  local v
  v=$(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1)
  if [ -z "$v" ]; then
    apt-get update -qq
    v=$(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1)
  fi
  [ -n "$v" ] || { echo "no source package $1" >&2; return 1; }
  echo "$v"
}

# Unpacks source packages (NAME or NAME=VERSION) into a directory.
pyradec_fetch_sources() {
  local dir=$1
  shift
  pyradec_ensure_deb_src
  (cd "$dir" && apt-get source -qq "$@" >/dev/null 2>&1)
}
