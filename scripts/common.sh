# Shared by scripts/test and scripts/run: install what is missing, configure and build.
# Sourced, not run.

PINMARK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PINMARK_BUILD="${PINMARK_BUILD:-$PINMARK_ROOT/build}"

pinmark_install_deps() {
  local missing=() pkg
  while read -r pkg; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done < "$PINMARK_ROOT/scripts/deps"
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

pinmark_build() {
  # Reuse earlier compilations when ccache is there (several checkouts share one cache).
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$PINMARK_ROOT" -B "$PINMARK_BUILD" -DPINMARK_BENCH=ON "${launcher[@]}" "$@" >/dev/null
  # PINMARK_TARGETS (blank-separated) builds only those targets; empty builds everything.
  local targets=()
  [[ -n "${PINMARK_TARGETS:-}" ]] && read -r -a targets <<< "$PINMARK_TARGETS"
  cmake --build "$PINMARK_BUILD" --parallel "$(nproc)" ${targets[@]+--target "${targets[@]}"}
}
