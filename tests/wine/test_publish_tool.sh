#!/usr/bin/env bash
# pellarion-publish.exe under Wine, beside the Linux tool and updater:
#   - keygen writes keys OpenSSL and the Linux tool use, and never replaces one;
#   - a key the Linux tool made signs in the Windows tool, and the reverse;
#   - the Windows tool certifies a release key that the Linux tool signs with;
#   - a tree the Windows tool staged and signed, the Linux updater installs
#     (Windows programs: the Windows tool, as the Windows updater, takes no
#     other; the Linux updater reads them, and only their start fails here);
#   - verify finds a package changed after it was signed;
#   - --help names paths with backslashes; a wrong command line exits 2;
#   - the public key given to stage is named as such, and nothing is written;
#   - a Linux program is refused as no Windows executable;
#   - fleet reads the logs a pattern names (Windows passes it on as typed).
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
LINUX_PUBLISH="$5"; LINUX_SIGNED_UPDATER="$6"; SIGNING_DIR="$7"
source "$(dirname "$0")/wine_common.sh"
work="$WINE_WORK/publish-tool"
rm -rf "$work" && mkdir -p "$work"
status=0
ok() { echo "ok: $1"; }
fail() { echo "FAIL: $1"; status=1; }
# The Windows tool, with Linux paths given as the Z: drive's.
winpath() { local p="Z:$1"; echo "${p//\//\\}"; }
tool() { "$WINE" "$WINDOWS_BIN/pellarion-publish.exe" "$@"; }

# keygen: files OpenSSL reads, a public key that is the private key's own.
tool keygen "$(winpath "$work/win-keys")" >"$work/keygen.txt" 2>&1 || fail "keygen exited $?"
grep -q 'win-keys\\publisher-private.pem' "$work/keygen.txt" && ok "keygen names its files with backslashes" ||
  fail "keygen's message: $(cat "$work/keygen.txt")"
openssl pkey -in "$work/win-keys/publisher-private.pem" -pubout 2>/dev/null |
  cmp -s - "$work/win-keys/publisher-public.pem" && ok "OpenSSL reads the Windows tool's key pair" ||
  fail "OpenSSL does not read the Windows tool's keys as one pair"
tool keygen "$(winpath "$work/win-keys")" >/dev/null 2>&1 && fail "keygen replaced a key" ||
  ok "keygen refuses to replace a key"

# The Windows tool's key in the Linux tool, and the Linux tool's key in the
# Windows tool: each stages and signs a tree the other verifies.
"$LINUX_PUBLISH" keygen "$work/linux-keys" >/dev/null
"$LINUX_PUBLISH" stage --app "$FIXTURES/pe-3.1.0.12.exe" --updater "$FIXTURES/pe-3.1.0.12.exe" \
  --key "$work/win-keys/publisher-private.pem" "$work/by-linux" >/dev/null &&
  tool verify "$(winpath "$work/by-linux")" --key "$(winpath "$work/win-keys/publisher-public.pem")" \
    >"$work/verify1.txt" 2>&1 && ok "the Windows tool's key signs in the Linux tool" ||
  { cat "$work/verify1.txt"; fail "a tree signed by the Linux tool with the Windows key"; }
tool stage --app "$(winpath "$FIXTURES/pe-3.1.0.12.exe")" --updater "$(winpath "$FIXTURES/pe-3.1.0.12.exe")" \
  --key "$(winpath "$work/linux-keys/publisher-private.pem")" "$(winpath "$work/by-windows")" >/dev/null 2>&1 &&
  "$LINUX_PUBLISH" verify "$work/by-windows" --key "$work/linux-keys/publisher-public.pem" >"$work/verify2.txt" &&
  ok "the Linux tool's key signs in the Windows tool" ||
  { cat "$work/verify2.txt"; fail "a tree signed by the Windows tool with the Linux key"; }

# certify: the Windows tool's root key vouches for the Linux tool's key, which
# signs a tree that both tools verify with the root's public key.
tool certify --root "$(winpath "$work/win-keys/publisher-private.pem")" \
  --key "$(winpath "$work/linux-keys/publisher-public.pem")" --sequence 2 "$(winpath "$work/linux.certificate")" \
  >"$work/certify.txt" 2>&1 &&
  "$LINUX_PUBLISH" stage --app "$FIXTURES/pe-3.1.0.12.exe" --updater "$FIXTURES/pe-3.1.0.12.exe" \
    --key "$work/linux-keys/publisher-private.pem" --certificate "$work/linux.certificate" "$work/certified" \
    >/dev/null &&
  "$LINUX_PUBLISH" verify "$work/certified" --key "$work/win-keys/publisher-public.pem" >"$work/verify3.txt" &&
  tool verify "$(winpath "$work/certified")" --key "$(winpath "$work/win-keys/publisher-public.pem")" \
    >>"$work/verify3.txt" 2>&1 &&
  [ "$(grep -c "signed by a release key the root key certified" "$work/verify3.txt")" = 2 ] &&
  ok "the Windows tool certifies a release key; both tools check the certificate" ||
  { cat "$work/certify.txt" "$work/verify3.txt"; fail "a release key the Windows tool certified"; }

# A tree the Windows tool stages with the tests' signing key (OpenSSL's SEC1
# form), installed by the Linux updater that trusts that key.
tool stage --app "$(winpath "$FIXTURES/pe-3.1.0.12.exe")" --updater "$(winpath "$FIXTURES/pe-3.1.0.12.exe")" \
  --key "$(winpath "$SIGNING_DIR/publisher-private.pem")" "$(winpath "$work/server")" >"$work/stage.txt" 2>&1 ||
  { cat "$work/stage.txt"; fail "stage exited with an error"; }
app="$work/app"
mkdir -p "$app"
cp "$LINUX_SIGNED_UPDATER" "$app/update.exe"
cp "$FIXTURES/pe-1.0.0.1.exe" "$app/Pellarion.exe"
: >"$app/format.dll"
start_http_server "$work/server" 60
PELLARION_UPDATE_SERVER="$server_address" "$app/update.exe" </dev/null >"$work/updater.txt" 2>&1 || true
kill "$server" 2>/dev/null || true
# The updater starts the new application: stop it, and only it.
for exe in /proc/[0-9]*/exe; do
  [ "$(readlink "$exe" 2>/dev/null)" = "$app/Pellarion.exe" ] && kill "$(basename "$(dirname "$exe")")" 2>/dev/null
done
cmp -s "$app/Pellarion.exe" "$FIXTURES/pe-3.1.0.12.exe" &&
  grep -q "Pellarion.bin accepted: .*signed" "$app/update.log" &&
  ok "the Linux updater installs the tree the Windows tool staged" ||
  { cat "$work/updater.txt" "$app/update.log"; fail "the Linux updater did not install the staged tree"; }

# One byte of a signed package changed: verify finds it and exits 1.
package="$work/server/update/Pellarion.bin"
printf '\x5a' | dd of="$package" bs=1 seek=$(( $(stat -c %s "$package") / 2 )) conv=notrunc status=none
code=0
tool verify "$(winpath "$work/server")" --key "$(winpath "$SIGNING_DIR/publisher-public.pem")" >"$work/tampered.txt" 2>&1 ||
  code=$?
[ "$code" = 1 ] && grep -q "^PROBLEM  update/Pellarion.bin: .*refused" "$work/tampered.txt" &&
  ok "verify finds the changed package (exit code 1)" ||
  { cat "$work/tampered.txt"; fail "verify of a changed package exited $code"; }

# What a Windows user reads.
tool --help >"$work/help.txt" 2>&1 || fail "--help exited $?"
grep -q 'DIR\\publisher-private.pem' "$work/help.txt" && grep -q 'OUT\\update\\update.txt' "$work/help.txt" &&
  ok "--help writes paths with backslashes" || fail "--help: $(head -20 "$work/help.txt")"
code=0
tool stage --app x.exe >/dev/null 2>&1 || code=$?
[ "$code" = 2 ] && ok "a wrong command line exits 2" || fail "a wrong command line exited $code"
code=0
tool stage --app x.exe --updater y.exe --key "$(winpath "$work/win-keys/publisher-public.pem")" \
  "$(winpath "$work/never")" >"$work/public-key.txt" 2>&1 || code=$?
[ "$code" = 1 ] && grep -q "publisher-public.pem: this is a public key; stage signs with the private key" \
  "$work/public-key.txt" && [ ! -e "$work/never" ] && ok "stage names a public key given as --key" ||
  { cat "$work/public-key.txt"; fail "stage with the public key exited $code"; }

# A Linux program is no Windows executable: refused before anything is written.
code=0
tool stage --app "$(winpath "$FIXTURES/linux-app-3.1.0.12")" --updater "$(winpath "$FIXTURES/pe-3.1.0.12.exe")" \
  --key "$(winpath "$work/win-keys/publisher-private.pem")" "$(winpath "$work/elf")" >"$work/elf.txt" 2>&1 || code=$?
[ "$code" = 1 ] && grep -q "not an executable" "$work/elf.txt" && [ ! -e "$work/elf" ] &&
  ok "stage refuses a Linux program as no Windows executable" || { cat "$work/elf.txt"; fail "stage of an ELF exited $code"; }

mkdir -p "$work/logs"
printf '10.0.0.5 - - [%s +0000] "GET /update/update.txt HTTP/1.1" 200 52 "-" "%s"\n' \
  "$(LC_ALL=C date -u +%d/%b/%Y:%H:%M:%S)" \
  "OsmerinPellarionUpdater/2.0.0.55 (Pellarion 3.1.0.12; Windows 10.0.19045; x86)" >"$work/logs/u_ex261208.log"
tool fleet "$(winpath "$work/logs")\\U_EX*.LOG" "$(winpath "$work/logs")\\u_ex*.gz" >"$work/fleet.txt" 2>&1 &&
  grep -q "1 workstation, 1 request" "$work/fleet.txt" &&
  grep -q 'note: no log matches .*u_ex\*\.gz; skipped' "$work/fleet.txt" && ok "fleet reads the logs a pattern names" ||
  { cat "$work/fleet.txt"; fail "fleet with log patterns"; }
"$WINESERVER" -w
exit $status
