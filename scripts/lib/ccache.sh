# shellcheck shell=bash
# Sourced by every script that compiles: each C and C++ compile of every
# build tree (CMake's and pip's alike, which read these variables) goes
# through ccache, so that a file compiled before by any checkout of the
# project, in any build tree, is not compiled again. Paths under the
# checkout are hashed relative to it, and the working directory not at all,
# so that a fresh clone elsewhere (as CI makes) finds what an earlier one
# compiled. scripts/install-deps installs ccache (and is run here if it is
# missing, before anything compiles).
command -v ccache >/dev/null || "$(dirname "${BASH_SOURCE[0]}")/../install-deps"
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
  export CCACHE_NOHASHDIR=1
  export CCACHE_DIR=${CCACHE_DIR:-/var/cache/jointbus-ccache}
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
fi
