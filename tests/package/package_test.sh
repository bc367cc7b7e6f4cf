#!/usr/bin/env bash
# The installed programs work where they land: `cmake --install` into a prefix, and the Debian
# package (built by CPack from the same rules) extracted into a scratch root with dpkg-deb -x.
# In each, both preflights pass, a trace works through the bin/ link, and the manual pages
# render.
# Usage: package_test.sh <build-dir>
set -euo pipefail

build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/drel-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# check_installed <root-with-bin> [i386]: the programs under <root>/bin work from there (and
# trace a 32-bit program, where the build has the library's i386 twin).
check_installed() {
  local root
  root=$(cd "$1" && pwd -P)
  local with_i386=${2:-}
  for program in drel-tracer drel-tracer-preload drel-report; do
    [ -x "$root/bin/$program" ] || fail "$root/bin/$program is missing"
  done
  [ -L "$root/bin/drel-tracer-preload" ] || fail "bin/drel-tracer-preload is not a link"
  # The launcher finds the library beside its real executable, not beside the link.
  local out
  out=$(env -u DREL_PRELOAD_LIB "$root/bin/drel-tracer-preload" --preflight) ||
    fail "drel-tracer-preload --preflight from $root: $out"
  grep -qF "library: ok ($root/lib/drel-tracer/libdrel_tracer_preload.so)" <<<"$out" ||
    fail "the preload preflight did not find the installed library: $out"
  out=$("$root/bin/drel-tracer" --preflight) || fail "drel-tracer --preflight from $root: $out"
  grep -q "^ptrace preflight passed" <<<"$out" || fail "unexpected ptrace verdict: $out"

  printf 'installed\n' > "$work/input.txt"
  for program in drel-tracer drel-tracer-preload; do
    env -u DREL_PRELOAD_LIB "$root/bin/$program" "$work/$program.msgpack" \
      cat "$work/input.txt" > /dev/null || fail "$program could not trace cat"
    out=$("$root/bin/drel-report" inputs --under "$work" "$work/$program.msgpack")
    [ "$out" = "$work/input.txt" ] || fail "$program report inputs: '$out'"
  done

  # A 32-bit program traced from here loads its own class of the library: the loader says
  # nothing on its standard error, and its file is in the report.
  local program32="$build/fixtures/launcher_actions_i386"
  if [ -n "$with_i386" ] && [ -x "$program32" ]; then
    # Under the "$LIB" of both of Debian's i386 loaders: multilib (lib32) and multiarch.
    local dir twin
    for dir in lib32 lib/i386-linux-gnu; do
      twin="$root/lib/drel-tracer/$dir/libdrel_tracer_preload.so"
      [ "$(od -An -tx1 -j4 -N1 "$twin" 2>/dev/null | tr -d ' ')" = 01 ] ||
        fail "$twin is not the 32-bit library"
    done
    out=$(env -u DREL_PRELOAD_LIB "$root/bin/drel-tracer-preload" --preflight --command "$program32") ||
      fail "the preload preflight refused $program32 from $root: $out"
    grep -qF "command_compatibility: ok (compatible)" <<<"$out" ||
      fail "the preload preflight did not call $program32 compatible: $out"
    out=$(env -u DREL_PRELOAD_LIB "$root/bin/drel-tracer-preload" "$work/i386.msgpack" \
      "$program32" read "$work/input.txt" 2>&1 >/dev/null) || fail "could not trace $program32: $out"
    [ -z "$out" ] || fail "a traced 32-bit program wrote to its standard error: $out"
    out=$("$root/bin/drel-report" inputs --under "$work" "$work/i386.msgpack")
    [ "$out" = "$work/input.txt" ] || fail "32-bit program report inputs: '$out'"
  fi

  for page in drel-tracer drel-tracer-preload drel-report; do
    local file="$root/share/man/man1/$page.1"
    [ -f "$file" ] || fail "$file is missing"
    out=$(MANWIDTH=80 man -l "$file" 2>&1) || fail "man -l $file: $out"
    grep -q "^NAME" <<<"$out" || fail "man -l $file shows no NAME section"
    grep -q "$page" <<<"$out" || fail "man -l $file does not name $page"
  done
}

echo "== cmake --install --prefix $work/prefix"
cmake --install "$build" --prefix "$work/prefix" > /dev/null
check_installed "$work/prefix" i386

echo "== cpack: Debian package"
(cd "$work" && cpack -G DEB -B "$work/cpack" --config "$build/CPackConfig.cmake" > cpack.log 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/cpack/*.deb)
[ "$(echo "$deb" | wc -l)" -eq 1 ] || fail "expected one package, got: $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = drel-tracer ] || fail "Package: $(field Package)"
[ -n "$(field Version)" ] || fail "no Version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
[ -n "$depends" ] || fail "no Depends"
# Only the C and C++ runtimes.
IFS=',' read -ra deps <<< "$depends"
for dep in "${deps[@]}"; do
  name=$(echo "$dep" | sed 's/^ *//; s/[ (].*//')
  case "$name" in
    libc6|libstdc++6|libgcc-s1) ;;
    *) fail "unexpected dependency '$name' in: $depends" ;;
  esac
done
grep -q libc6 <<<"$depends" || fail "Depends lacks libc6: $depends"
grep -q 'libstdc++6' <<<"$depends" || fail "Depends lacks libstdc++6: $depends"

echo "== dpkg-deb -x into a scratch root"
dpkg-deb -x "$deb" "$work/root"
check_installed "$work/root/usr" i386
[ -f "$work/root/usr/share/doc/drel-tracer/README.md" ] || fail "README.md is not installed"
echo "package: $(basename "$deb"), Depends: $depends"
