# Sourced by the command-line tests: counts checks and names the ones that fail.
failures=0
passes=0

check() { # description, then a command that must succeed
  local what=$1
  shift
  if "$@"; then passes=$((passes + 1)); else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
