# Sourced by the scripts that need a given CPython; defines find_python.
#
# find_python VERSION prints a working interpreter of that version
# ("python3.11" on PATH first, then pyenv's newest 3.11.x) or fails.
find_python() {
  local version=$1 candidate
  for candidate in "python$version" \
      $(ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/"$version".*/bin/python3 2>/dev/null | sort -V -r); do
    if "$candidate" -c 'import sys' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
