# Shared set-up for the project's scripts: a CPython 3.12+ interpreter, the
# virtual environment in .venv, and the system packages the C++ side needs.
# Sourced, not run.

VREX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VREX_VENV="${VREX_VENV:-$VREX_ROOT/.venv}"

log() { printf '\033[1m[vrex]\033[0m %s\n' "$*" >&2; }

# Prints the path of the first interpreter of version 3.12 or later.
find_python() {
  local candidate
  for candidate in "${VREX_PYTHON:-}" python3.13 python3.12 \
    "$HOME"/.pyenv/versions/3.13*/bin/python3 "$HOME"/.pyenv/versions/3.12*/bin/python3 \
    /root/.pyenv/versions/3.13*/bin/python3 /root/.pyenv/versions/3.12*/bin/python3 \
    /usr/local/bin/python3.13 /usr/local/bin/python3.12 /usr/bin/python3.13 /usr/bin/python3.12 \
    python3; do
    [ -n "$candidate" ] || continue
    if "$candidate" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' \
      >/dev/null 2>&1; then
      "$candidate" -c 'import sys; print(sys.executable)'
      return 0
    fi
  done
  return 1
}

# Installs Debian packages that are missing (needs root or sudo).
ensure_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Creates .venv with a 3.12+ interpreter (once) and installs the package into it.
ensure_venv() {
  if [ ! -x "$VREX_VENV/bin/python" ] ||
    ! "$VREX_VENV/bin/python" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)'; then
    local python
    python="$(find_python)" || {
      log "no CPython 3.12 or later found; install one (e.g. with pyenv) or set VREX_PYTHON"
      exit 1
    }
    log "creating $VREX_VENV with $python"
    rm -rf "$VREX_VENV"
    "$python" -m venv "$VREX_VENV"
  fi
  "$VREX_VENV/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
}

install_package() {
  local extras="$1"
  log "building and installing vrex${extras:+[$extras]} (pip install .)"
  "$VREX_VENV/bin/python" -m pip install -q "$VREX_ROOT${extras:+[$extras]}"
}
