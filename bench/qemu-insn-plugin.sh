#!/usr/bin/env bash
# Builds an instruction-count plugin for the installed qemu-mipsel from the sources of the same
# Debian package, so that the plugin API version matches the emulator that loads it, and beside
# it a block-count plugin for finding where they go (mips_instructions.sh --hotspots). Prints the
# counting plugin's path; reuses both while they are newer than this script.
#   bench/qemu-insn-plugin.sh [OUT_DIR]   (default build/qemu-plugin)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/qemu-plugin}
plugin=$out/libinsn.so
blocks=$out/libhotblocks.so
# The files the plugins need from the upstream tarball; nothing else is unpacked. Debian's
# patches (stable releases up to the packaged one) change none of them.
members=(include/qemu/qemu-plugin.h tests/plugin/insn.c contrib/plugins/hotblocks.c)

# "qemu-mipsel version 7.2.22 (Debian 1:7.2+dfsg-7+deb12u18+b3)" -> 1:7.2+dfsg-7+deb12u18.
# A binary-only rebuild (+bN) has no source of its own: its source is the version before it.
installed_source_version() {
  qemu-mipsel --version | sed -n 's/.*(Debian \([^)]*\)).*/\1/p' | sed 's/+b[0-9]*$//'
}

# Downloads the source package once into $out/src; apt-get skips files it already has.
fetch_sources() {
  local version=$1
  mkdir -p "$out/src"
  if ! ls "$out/src"/qemu_*.orig.tar.* >/dev/null 2>&1; then
    (cd "$out/src" && apt-get source --download-only "qemu=$version") >&2 || {
      echo "no source of qemu $version: needs a deb-src entry (the controller toolchain's" \
           "script adds one) and apt-get update" >&2
      exit 1
    }
  fi
}

# Unpacks the plugin header and example from the orig tarball, whatever its top folder is called.
extract_members() {
  rm -rf "$out/tree"
  mkdir -p "$out/tree"
  tar -xf "$out"/src/qemu_*.orig.tar.* -C "$out/tree" --strip-components=1 --wildcards \
    "${members[@]/#/*/}"
}

compile_plugin() { # source output
  # shellcheck disable=SC2046 # pkg-config prints several flags
  gcc -shared -fPIC -O2 -Wall $(pkg-config --cflags glib-2.0) -I "$out/tree/include/qemu" \
    -o "$2" "$1"
}

build_plugins() {
  compile_plugin "$out/tree/tests/plugin/insn.c" "$plugin"
  # The block counter prints its 20 most run blocks; totals per function need every block.
  local hot=$out/tree/contrib/plugins/hotblocks.c
  grep -q 'limit = 20;' "$hot" || { echo "$hot: no block limit to raise" >&2; exit 1; }
  sed -i 's/limit = 20;/limit = G_MAXUINT64;/' "$hot"
  compile_plugin "$hot" "$blocks"
}

# qemu refuses a plugin whose API version it does not support; say so here, not in a benchmark.
check_loads() {
  local probe=$out/probe log=$out/probe.log
  command -v mipsel-linux-gnu-gcc >/dev/null || return 0
  printf 'int main(void) { return 0; }\n' | mipsel-linux-gnu-gcc -static -x c -o "$probe" -
  qemu-mipsel -plugin "$plugin" -d plugin -D "$log" "$probe"
  grep -q '^total insns: [0-9]' "$log" || { echo "plugin printed no count: $log" >&2; exit 1; }
}

if [ -f "$plugin" ] && [ "$plugin" -nt "$0" ] && [ -f "$blocks" ] && [ "$blocks" -nt "$0" ]; then
  echo "$plugin"
  exit 0
fi
version=$(installed_source_version)
[ -n "$version" ] || { echo "qemu-mipsel is not Debian's; cannot tell its source" >&2; exit 1; }
fetch_sources "$version"
extract_members
build_plugins
check_loads
echo "$plugin"
