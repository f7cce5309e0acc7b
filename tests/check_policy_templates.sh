#!/usr/bin/env bash
# The Group Policy template (tools/policy): well-formed XML; each language's
# ADML holds exactly the strings and presentations the ADMX names, each
# presentation bound to an element of its policy; and the key, the value
# names and the deadline's range are those the updater reads
# (platform/windows/WindowsPlatform.cpp, app/Settings.cpp).
set -euo pipefail
source_dir=$1
cd "$source_dir/tools/policy"
status=0
fail() { echo "FAIL: $*"; status=1; }
xmllint --noout PellarionUpdater.admx ./*/PellarionUpdater.adml || exit 1
# The values of one attribute over the nodes an XPath selects, one a line, sorted.
values() { xmllint --xpath "$2" "$1" 2>/dev/null | sed 's/^ *[A-Za-z]*="\([^"]*\)"$/\1/; s/" [A-Za-z]*="/\n/g' | sort -u || true; }
named() { grep -o "\$($2\.[A-Za-z0-9_]*)" "$1" | sed "s/^\$($2\.//; s/)\$//" | sort -u; }
admx=PellarionUpdater.admx
strings=$(named $admx string)
presentations=$(named $admx presentation)
elements=$(values $admx "//*[local-name()='elements']/*/@id")
[ -n "$strings" ] && [ -n "$presentations" ] && [ -n "$elements" ] || fail "$admx names no strings, presentations or elements"
for adml in ./*/PellarionUpdater.adml; do
  [ "$(values "$adml" "//*[local-name()='string']/@id")" = "$strings" ] ||
    fail "$adml: its strings are not the ones $admx names"
  [ "$(values "$adml" "//*[local-name()='presentation']/@id")" = "$presentations" ] ||
    fail "$adml: its presentations are not the ones $admx names"
  [ "$(values "$adml" "//*[local-name()='presentation']/*/@refId")" = "$elements" ] ||
    fail "$adml: its boxes are not bound to the elements of $admx"
done

# What the updater reads.
key=$(values $admx "//*[local-name()='policy']/@key")
[ "$key" = 'SOFTWARE\Policies\Osmerin\Pellarion Updater' ] || fail "the policies' key is '$key'"
grep -qF "${key//\\/\\\\}" "$source_dir/platform/windows/WindowsPlatform.cpp" || fail "WindowsPlatform.cpp reads another key"
for element in text:UpdateServers decimal:RunDeadlineSeconds; do
  kind=${element%%:*} name=${element#*:}
  [ "$(values $admx "//*[local-name()='$kind']/@valueName")" = "$name" ] || fail "no $kind element for $name"
  grep -qF "Policy(\"$name\")" "$source_dir/app/Settings.cpp" || fail "the updater does not read $name"
done
range="$(values $admx "//*[local-name()='decimal']/@minValue") $(values $admx "//*[local-name()='decimal']/@maxValue")"
grep -qF "kFewestSeconds = ${range% *}, kMostSeconds = ${range#* };" "$source_dir/app/Settings.cpp" ||
  fail "the deadline's range $range is not the updater's"
[ $status -eq 0 ] && echo "ok: the policy templates agree with each other and with the updater"
exit $status
