# shellcheck shell=bash
# Packages from Debian's newer suites (trixie, sid), for amd64 and arm64,
# through an apt configuration of their own: nothing of them is installed on
# this system; they are downloaded and unpacked into directories of ours.
# What newer CPython versions and the arm64 build headers come from.
#   debian_unpack DEST PACKAGE...          exactly these packages
#   debian_unpack_closure DEST PACKAGE...  these and everything they depend on
#   debian_version PACKAGE                 the version apt would take
#   debian_suite_version PACKAGE SUITE     the version SUITE has (lock held)
# PACKAGE may carry an architecture (libpython3.14-dev:arm64). Callers hold
# no lock; the functions take the apt state's own.

DEBIAN_CACHE=${JOINTBUS_DEBIAN_CACHE:-/var/cache/jointbus-debian}
# This machine's mirror serves these suites' Release files past their
# Valid-Until date; their signatures are still checked.
DEBIAN_SUITES=(sid trixie)

# DEBIAN_APT_NATIVE=arm64 resolves as that architecture's own system
# would: foreign-architecture packages cannot depend on Architecture: all
# ones (python3-setuptools-whl...), which count as the native one's.
debian_apt() {
  APT_CONFIG="$DEBIAN_CACHE/apt/apt.conf" apt-get -q ${DEBIAN_APT_NATIVE:+-o APT::Architecture="$DEBIAN_APT_NATIVE"} "$@"
}

# Writes the configuration and fetches the package lists when they are
# missing or a day old.
debian_ready() {
  local apt=$DEBIAN_CACHE/apt suite
  mkdir -p "$apt/lists/partial" "$apt/archives/partial"
  [[ -e $apt/status ]] || : >"$apt/status"
  {
    for suite in "${DEBIAN_SUITES[@]}"; do
      echo "deb [arch=amd64,arm64] http://deb.debian.org/debian $suite main"
    done
  } >"$apt/sources.list"
  cat >"$apt/apt.conf" <<EOF
Dir::State "$apt";
Dir::State::Lists "$apt/lists";
Dir::State::status "$apt/status";
Dir::Cache "$apt";
Dir::Cache::archives "$apt/archives";
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "/nonexistent";
Acquire::Check-Valid-Until "false";
APT::Architectures { "amd64"; "arm64"; };
APT::Default-Release "sid";
APT::Sandbox::User "root";
EOF
  if [[ -z $(find "$apt/lists" -maxdepth 1 -name '*_Packages' -mmin -1440 2>/dev/null | head -n 1) ]]; then
    debian_apt update >"$apt/update.log" 2>&1 || { cat "$apt/update.log" >&2; return 1; }
  fi
}

debian_locked() {
  mkdir -p "$DEBIAN_CACHE"
  (
    flock 9
    debian_ready && "$@"
  ) 9>"$DEBIAN_CACHE/lock"
}

debian_version() {
  debian_locked debian_apt_policy "$1"
}

debian_apt_policy() {
  debian_apt_quiet_cache policy "$1" | awk '$1 == "Candidate:" && $2 != "(none)" { print $2; exit }'
}

# apt's policy lists each version (two fields, three when it is the
# installed one) followed by the suites that have it.
debian_suite_version() {
  debian_apt_quiet_cache policy "$1" | awk -v suite=" $2/main " '
    NF == 2 { version = $1; next }
    NF == 3 && $1 == "***" { version = $2; next }
    index($0, suite) { print version; exit }'
}

debian_apt_quiet_cache() {
  APT_CONFIG="$DEBIAN_CACHE/apt/apt.conf" apt-cache "$@" 2>/dev/null
}

# Unpacks the .deb files in directory $1 into $2.
debian_extract_all() {
  local deb
  for deb in "$1"/*.deb; do
    dpkg-deb -x "$deb" "$2" || return 1
  done
}

debian_fetch() {  # DEST WORK PACKAGE...
  local dest=$1 work=$2
  shift 2
  (cd "$work" && debian_apt download "$@" >"$work/download.log" 2>&1) ||
    { cat "$work/download.log" >&2; return 1; }
  debian_extract_all "$work" "$dest"
}

debian_fetch_closure() {  # DEST WORK PACKAGE...
  local dest=$1 work=$2
  shift 2
  : >"$work/empty-status"
  mkdir -p "$work/partial"
  # With an empty package status, apt takes every dependency as missing and
  # downloads the whole closure.
  debian_apt -y -o Dir::State::status="$work/empty-status" -o Dir::Cache::archives="$work" \
    install --download-only "$@" >"$work/download.log" 2>&1 ||
    { cat "$work/download.log" >&2; return 1; }
  debian_extract_all "$work" "$dest"
}

# Runs FETCHER DEST WORK PACKAGE... with the apt state locked, in a work
# directory that is gone afterwards.
debian_with_work() {  # FETCHER DEST PACKAGE...
  local work status=0
  work=$(mktemp -d)
  debian_locked "$1" "$2" "$work" "${@:3}" || status=$?
  rm -rf "$work"
  return "$status"
}

debian_unpack() { debian_with_work debian_fetch "$@"; }
debian_unpack_closure() { debian_with_work debian_fetch_closure "$@"; }

# Debian's python3.X/pyconfig.h only picks the architecture's own
# (<TRIPLET/python3.X/pyconfig.h>), which only a compiler that searches
# /usr/include finds. Puts that architecture's in its place, so that the
# include directory stands alone, as an upstream install's does.
debian_flatten_pyconfig() {  # USR_INCLUDE TRIPLET VERSION
  local include=$1 triplet=$2 version=$3
  [[ -f $include/$triplet/python$version/pyconfig.h ]] ||
    { echo "no $triplet pyconfig.h for Python $version in $include" >&2; return 1; }
  cp "$include/$triplet/python$version/pyconfig.h" "$include/python$version/pyconfig.h"
}
