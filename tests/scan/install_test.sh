#!/usr/bin/env bash
# `cmake --install` puts quillory-scan and its manual page under a prefix,
# and the installed program runs.
#   install_test.sh DRIVER SOURCE_DIR BINARY_DIR
set -uo pipefail
bin=$3
work=$(mktemp -d /tmp/quillory-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$bin" --prefix "$work/prefix" > "$work/log" 2>&1 || fail "cmake --install: $(cat "$work/log")"
[ -x "$work/prefix/bin/quillory-scan" ] || fail "no bin/quillory-scan under the prefix"
page="$work/prefix/share/man/man1/quillory-scan.1"
[ -f "$page" ] || fail "no share/man/man1/quillory-scan.1 under the prefix"
"$work/prefix/bin/quillory-scan" --help > "$work/help" 2>&1 || fail "the installed quillory-scan --help failed"
grep -q '^usage: quillory-scan ' "$work/help" || fail "the installed --help gives no usage"
# The page renders without warnings and names every option --help names.
MANWIDTH=80 man --warnings -l "$page" > "$work/page" 2> "$work/warn" || fail "man cannot render the page"
[ ! -s "$work/warn" ] || fail "man warns: $(cat "$work/warn")"
for option in $(grep -oE -- '--[a-z]+' "$work/help" | sort -u); do
    grep -q -- "$option" "$work/page" || fail "the manual page does not describe $option"
done
[ "$failures" = 0 ] && echo "installed and runs"
exit $((failures > 0))
