#!/usr/bin/env bash
# The host's MIB module: smilint at level 6 finds no error in it (its warnings are shown, not
# failed), and the module names the enterprise number in one place only, its root, so that a
# number of the project's own later is a one-line change. smilint needs the IETF base modules
# the MIB imports, which Debian ships outside main: without them (or without smilint) the lint
# is skipped, exit 77, after the number is checked. SMIPATH may name where they are.
#   snmp_mib_test.sh MIB
set -euo pipefail
mib=${1:?usage: snmp_mib_test.sh MIB}
[ -r "$mib" ] || { echo "FAIL: cannot read $mib"; exit 1; }

# The root, and nothing else, names the number; comments included.
enterprise=32473
mentions=$(grep -o "\\b$enterprise\\b" "$mib" | wc -l)
root=$(grep -cE "::= *\\{ *enterprises +$enterprise *\\}" "$mib" || true)
if [ "$mentions" != 1 ] || [ "$root" != 1 ]; then
  echo "FAIL: $mib names $enterprise $mentions times; once is wanted, in '::= { enterprises $enterprise }':"
  grep -n "\\b$enterprise\\b" "$mib" || true
  exit 1
fi

skip() {
  echo "skipped: smilint or the IETF base modules (SNMPv2-SMI, SNMPv2-TC, SNMPv2-CONF) are not installed"
  exit 77
}
command -v smilint >/dev/null || skip
# smilint exits 0 whatever it finds: its lines say. With -s each carries its severity,
# "FILE:LINE: [N] message": 0 to 3 are errors, 4 and above warnings and advice.
said=$(smilint -s -l 6 "$mib" 2>&1) || { echo "$said"; echo "FAIL: smilint did not run"; exit 1; }
# Without the base modules every other line follows from their absence: those alone are shown.
base_missing="failed to locate MIB module \`SNMPv2-(SMI|TC|CONF)'"
if grep -qE "$base_missing" <<<"$said"; then
  grep -E "$base_missing" <<<"$said"
  skip
fi
[ -z "$said" ] || echo "$said"
# Any other line (an error, or a message of another form) fails.
warnings=$(grep -cE ':[0-9]+: \[[4-9]\] ' <<<"$said" || true)
errors=$({ grep -vE ':[0-9]+: \[[4-9]\] |^$' <<<"$said" || true; } | wc -l)
[ "$errors" = 0 ] || { echo "FAIL: $mib: smilint -l 6 says $errors lines other than warnings"; exit 1; }
echo "$mib: no error at smilint level 6, warnings: $warnings; $enterprise named once, at the root"
