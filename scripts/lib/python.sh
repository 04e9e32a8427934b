# shellcheck shell=bash
# python_interpreter VERSION: prints the path of a CPython VERSION (3.12,
# 3.13...) on this machine: pyenv's newest of that version where it has one,
# else pythonVERSION on PATH, else Debian's build of it (scripts/debian-python,
# for versions this system has no package of).
python_interpreter() {
  local version=$1 installed here
  if command -v pyenv >/dev/null; then
    installed=$(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [[ -n $installed ]]; then
      echo "$(pyenv prefix "$installed")/bin/python$version"
      return
    fi
  fi
  # pyenv's shims answer to every name and fail only when run.
  if here=$(command -v "python$version") && [[ $here != */shims/* ]]; then
    echo "$here"
    return
  fi
  "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/debian-python" "$version"
}
