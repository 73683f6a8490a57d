# Shared by the scripts that run cross-built programs under Wine (source it; not a program).
#   wine_setup <tag> <prefix-name>: finds wine64 and wineserver (sets $wine, $wineserver; exits 2 with a
#   message naming <tag> when one is missing), makes a fresh prefix directory (sets $prefix) and exports
#   the environment every run uses: 64-bit prefix, no debug channels, no Mono/Gecko installer dialog, no
#   display to open windows on.

find_tool() {
  local candidate
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

wine_setup() {
  local tag="$1" name="$2"
  wine="$(find_tool wine64 /usr/lib/wine/wine64 wine)" || {
    echo "$tag: wine64 is not installed (scripts/install-deps.sh installs it)" >&2
    exit 2
  }
  wineserver="$(find_tool wineserver64 /usr/lib/wine/wineserver64 wineserver /usr/lib/wine/wineserver)" || {
    echo "$tag: wineserver is not installed" >&2
    exit 2
  }
  prefix="$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX")"
  export WINEPREFIX="$prefix"
  export WINEARCH=win64
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}
