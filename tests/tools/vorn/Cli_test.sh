#!/usr/bin/env bash
# The `vorn` tool as a user runs it: one table of commands over a temporary
# root, each with its exact standard output, standard error and exit status.
# Rows run in order and share the root, so later rows see earlier writes.
# Usage: Cli_test.sh PATH/TO/vorn
set -uo pipefail
vorn=$(realpath "$1")
# The version vorn must print: the library's own string, from the version
# header the build generated beside the tool.
version=$(sed -n 's/^#define VORN_VERSION_STRING "\(v[^"]*\)"$/\1/p' "$(dirname "$vorn")/../../include/log/VORNVersion.h")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cd "$root" || exit 1
failures=0
rows=0

# row STATUS STDOUT STDERR -- ARGS...   (standard input: $input when set)
row() {
  local want_status=$1 want_out=$2 want_err=$3
  shift 4
  rows=$((rows + 1))
  local out err status
  if [[ -n ${input+x} ]]; then
    out=$("$vorn" "$@" 2>"$root/.err" <<<"$input")
  else
    out=$("$vorn" "$@" 2>"$root/.err" </dev/null)
  fi
  status=$?
  err=$(cat "$root/.err")
  if [[ $status != "$want_status" || $out != "$want_out" || $err != "$want_err" ]]; then
    failures=$((failures + 1))
    printf 'FAIL: vorn %s\n  status %s (want %s)\n  stdout: %q\n    want: %q\n  stderr: %q\n    want: %q\n' \
      "$*" "$status" "$want_status" "$out" "$want_out" "$err" "$want_err"
  fi
}

# check WHAT CONDITION...: a row that is a shell test rather than a command.
check() {
  local what=$1
  shift
  rows=$((rows + 1))
  if ! "$@"; then
    failures=$((failures + 1))
    echo "FAIL: $what"
  fi
}

# The checksums of files, to show that a command left them byte-identical.
sums() { sha1sum "$@" 2>&1; }

# Flips one byte of a file in place.
damage() {
  local file=$1 offset=$2
  local byte
  byte=$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')
  printf "\\$(printf '%03o' $(((byte ^ 0xFF) & 0xFF)))" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

S="store 'preferences' under ."

# A missing store: every command that reads it fails.
row 1 "" "vorn: no $S" -- get greeting
row 1 "" "vorn: no $S" -- ls
row 1 "" "vorn: no $S" -- verify

# Reading under a missing root creates nothing, not even the root.
M="vorn: no store 'preferences' under no/such/root"
row 1 "" "$M" -- --root no/such/root --read-only ls
row 1 "" "$M" -- --root no/such/root dump --json
row 1 "" "$M" -- --root no/such/root verify
row 1 "" "vorn: no store 'other' under no/such/root" -- --root no/such/root import --from-id other
check "reading under a missing root created it" test ! -e no

# Options of the program before or after the command; --version.
row 0 "vorn $version" "" -- --version
check "the library's version string was not found" test -n "$version"
row 0 "" "" -- set k v --root . --id late
row 0 "v" "" -- get --id late k
row 0 "k" "" -- ls --id late --read-only --single-process
row 0 "k" "" -- --multi-process ls --id late
row 2 "" $'--single-process excludes --multi-process\nRun with --help for more information.' -- --single-process ls --multi-process

# Writes of every type, then reads as that type.
row 0 "" "" -- set greeting "hello world"
row 0 "" "" -- set n -5 --type int32
row 0 "" "" -- set u 4000000000 --type uint32
row 0 "" "" -- set big -9007199254740993 --type int64
row 0 "" "" -- set ubig 18446744073709551615 --type uint64
row 0 "" "" -- set f 0.5 --type float
row 0 "" "" -- set d 0.1 --type double
row 0 "" "" -- set flag true --type bool
row 0 "" "" -- set blob DEADBEEF --type bytes
row 0 "" "" -- set tags '["a","b c"]' --type strings
row 0 "hello world" "" -- get greeting
row 0 "-5" "" -- get n --type int32
row 0 "4000000000" "" -- get u --type uint32
row 0 "-9007199254740993" "" -- get big --type int64
row 0 "18446744073709551615" "" -- get ubig --type uint64
row 0 "0.5" "" -- get f --type float
row 0 "0.10000000000000001" "" -- get d --type double
row 0 "true" "" -- get flag --type bool
row 0 "DEADBEEF" "" -- get blob --type bytes
row 0 '["a","b c"]' "" -- get tags --type strings
row 0 $'{\n  "expires": 0,\n  "hex": "FBFFFFFFFFFFFFFFFF01",\n  "key": "n",\n  "type": "int32",\n  "value": -5\n}' "" -- get n --type int32 --json
row 0 $'{\n  "expires": 0,\n  "hex": "06016103622063",\n  "key": "tags",\n  "type": "strings",\n  "value": [\n    "a",\n    "b c"\n  ]\n}' "" -- get tags --type strings --json

# Text output escapes backslash and control characters in keys and values,
# and bytes that are not UTF-8, so each key and value takes one line; JSON
# carries them as they are (keys that are not UTF-8 as hex).
row 0 "" "" -- --id esc set $'tab\tkey' $'line1\nline2\\end'
row 0 "" "" -- --id esc set $'bell\a\xC2\x85' "x"
row 0 "" "" -- --id esc set $'\xFF' "é"
row 0 $'bell\\x07\\xC2\\x85\ntab\\tkey\n\\xFF' "" -- --id esc ls
row 0 'line1\nline2\\end' "" -- --id esc get $'tab\tkey'
row 0 $'bell\\x07\\xC2\\x85\t"x"\tnever\ntab\\tkey\thex:0F6C696E65310A6C696E65325C656E64\tnever\n\\xFF\t"é"\tnever' "" -- --id esc dump
row 0 $'[\n  "bell\\u0007\u0085",\n  "tab\\tkey",\n  {\n    "keyHex": "FF"\n  }\n]' "" -- --id esc ls --json
row 0 $'{\n  "expires": 0,\n  "key": "tab\\tkey",\n  "text": "line1\\nline2\\\\end"\n}' "" -- --id esc get $'tab\tkey' --json
row 1 "" "vorn: no key 'a\\nb' in store 'esc' under ." -- --id esc get $'a\nb'

# Reads and writes that must fail.
row 1 "" "vorn: no key 'absent' in $S" -- get absent
row 1 "" "vorn: key 'greeting' does not hold a value of type int32" -- get greeting --type int32
row 1 "" "vorn: key 'n' does not hold a value of type uint32" -- get n --type uint32
row 1 "" "vorn: key 'big' does not hold a value of type int32" -- get big --type int32
row 1 "" "vorn: key 'd' does not hold a value of type float" -- get d --type float
row 1 "" "vorn: key 'blob' does not hold a value of type bool" -- get blob --type bool
row 1 "" "vorn: 'maybe' is not a bool (true, false, 1, 0)" -- set x maybe --type bool
row 1 "" "vorn: '4294967296' is not a uint32" -- set x 4294967296 --type uint32
row 1 "" "vorn: 'ABC' is not hex (an even number of 0-9, a-f)" -- set x ABC --type bytes
row 1 "" "vorn: '[1]' is not a JSON array of strings" -- set x '[1]' --type strings
row 2 "" $'--type: nonsense not in {bool,bytes,double,float,int32,int64,string,strings,uint32,uint64}\nRun with --help for more information.' -- get n --type nonsense

row 0 $'big\nblob\nd\nf\nflag\ngreeting\nn\ntags\nu\nubig' "" -- ls
row 0 $'big\thex:FFFFFFFFFFFFFFEFFF01\tnever\nblob\thex:04DEADBEEF\tnever\nd\thex:9A9999999999B93F\tnever\nf\thex:0000003F\tnever\nflag\thex:01\tnever\ngreeting\t"hello world"\tnever\nn\thex:FBFFFFFFFFFFFFFFFF01\tnever\ntags\thex:06016103622063\tnever\nu\thex:80D0ACF30E\tnever\nubig\thex:FFFFFFFFFFFFFFFFFF01\tnever' "" -- dump

# Removal: absent keys are named, the present ones still go.
row 1 "" "vorn: no key 'nope' in $S (the others were removed)" -- rm big nope
row 1 "" "vorn: no key 'big' in $S" -- get big --type int64
row 0 "" "" -- rm ubig u
row 0 $'blob\nd\nf\nflag\ngreeting\nn\ntags' "" -- ls

# Expiry: the first --expire switches it on; the dump shows the time.
row 0 "" "vorn: key expiry switched on for $S (existing values never expire)" -- set soon x --expire 3600
expires=$(date -u -d "$("$vorn" dump | awk -F'\t' '$1 == "soon" { print $3 }')" +%s)
now=$(date +%s)
rows=$((rows + 1))
if ! ((expires >= now + 3500 && expires <= now + 3600)); then
  failures=$((failures + 1))
  echo "FAIL: the expiry time of 'soon' is $expires, not now + 3600 ($((now + 3600)))"
fi
row 0 "x" "" -- get soon

# dump --json, then load into an empty store: the same keys, value bytes
# and expiry times (dump --json of both is identical), from a file and from
# standard input. A value of every type is in the store by now.
"$vorn" dump --json >all.json
row 0 "loaded 8 keys" "vorn: key expiry switched on for store 'loaded' under . (existing values never expire)" -- --id loaded load all.json
check "dump --json of the loaded store differs from its source" cmp -s all.json <("$vorn" --id loaded dump --json)
input=$(cat all.json) row 0 "loaded 8 keys" "vorn: key expiry switched on for store 'piped' under . (existing values never expire)" -- load - --id piped
check "dump --json of the store loaded from stdin differs" cmp -s all.json <("$vorn" --id piped dump --json)
# Input that does not load fails before the first write: no store is made.
printf '[{"key": "a", "text": "ok"}, {"key": "b", "hex": "80"}]' >bad.json
row 1 "" 'vorn: item 2 of bad.json: no setter writes the bytes of "hex" (not a length-prefixed value, a varint, or 4 or 8 bytes)' -- --id badload load bad.json
input='{"key": "a"}' row 1 "" "vorn: standard input is not a JSON array (the shape dump --json writes)" -- --id badload load -
input='[{"keyHex": "FF", "text": "x", "expires": 4294967296}]' row 1 "" 'vorn: item 1 of standard input: "expires" is not a time in seconds (0 to 4294967295)' -- --id badload load -
check "a load that failed created its store" test ! -e badload

# A second store of the root, for exact JSON and stats.
row 0 "" "" -- --id j set k "v"
row 0 $'[\n  {\n    "expires": 0,\n    "key": "k",\n    "text": "v"\n  }\n]' "" -- --id j dump --json
# actual size: the 4-byte size holder, then 01 'k' 02 01 'v'.
row 0 $'id            j\nkeys          1\nactual size   9\nfile size     4096\nsequence      1\nmeta version  4\nflags         0x0\nencrypted     no' "" -- --id j stats

# Read-only: reads work, every write is refused before it starts.
row 0 "v" "" -- --id j --read-only get k
for cmd in "set k w" "rm k" "trim" "clear" "rekey abc" "restore ."; do
  # shellcheck disable=SC2086
  row 1 "" "vorn: store 'j' under . is opened read-only (--read-only): this command writes" -- --id j --read-only $cmd
done
row 0 "v" "" -- --id j get k

# Backup, clear, restore.
row 0 "" "" -- --id j backup bk
row 0 "" "" -- --id j clear
row 0 "" "" -- --id j ls
row 0 "" "" -- --id j restore bk
row 0 "k" "" -- --id j ls
row 1 "" "vorn: the restore of store 'nothing' under . from bk failed (no sound backup of it there?)" -- --id nothing restore bk

# Import into a new store.
row 0 "imported 1 of 1 keys" "" -- --id copy import --from-id j
row 0 "v" "" -- --id copy get k
row 1 "" "vorn: no store 'none' under ." -- --id copy import --from-id none

# Encryption: rekey, read with and without the key, back to clear.
row 0 "" "" -- --id j rekey s3cret
row 0 "v" "" -- --id j --crypt-key s3cret get k
row 1 "" "vorn: wrong or missing key for store 'j' under ." -- --id j get k
# The key from a file (one trailing newline dropped), from standard input,
# from VORN_CRYPT_KEY; --crypt-key and --crypt-key-file win over the variable.
printf 's3cret\n' >key.txt
row 0 "v" "" -- --id j get k --crypt-key-file key.txt
input=s3cret row 0 "v" "" -- --id j get k --crypt-key-file -
VORN_CRYPT_KEY=s3cret row 0 "v" "" -- --id j get k
VORN_CRYPT_KEY=wrong row 0 "v" "" -- --id j get k --crypt-key s3cret
VORN_CRYPT_KEY=wrong row 0 "v" "" -- --id j get k --crypt-key-file key.txt
VORN_CRYPT_KEY=wrong row 1 "" "vorn: wrong or missing key for store 'j' under ." -- --id j get k
row 2 "" $'--crypt-key excludes --crypt-key-file\nRun with --help for more information.' -- --id j get k --crypt-key s3cret --crypt-key-file key.txt
: >empty.txt
row 1 "" "vorn: the key file empty.txt is empty" -- --id j get k --crypt-key-file empty.txt
input=s3cret row 2 "" $'load -: standard input cannot hold both the key and the dump\nRun with --help for more information.' -- --id j load - --crypt-key-file -
VORN_CRYPT_KEY= row 2 "" $'--aes256: needs a key (--crypt-key, --crypt-key-file or VORN_CRYPT_KEY)\nRun with --help for more information.' -- --id j get k --aes256
# A wrong or missing key changes nothing, creates nothing, and exits 1.
before=$(sums j j.crc)
W="vorn: wrong or missing key for store 'j' under ."
row 1 "" "$W" -- --id j clear --crypt-key WRONG
row 1 "" "$W" -- --id j clear
row 1 "" "$W" -- --id j set k w
row 1 "" "$W" -- --id j rekey other
row 1 "" "$W" -- --id j --crypt-key WRONG dump --json
row 1 "" "$W" -- --id copy2 import --from-id j --from-crypt-key WRONG
row 1 "" "vorn: wrong or missing key for store 'copy' under ." -- --id copy --crypt-key s3cret ls
check "a command with a wrong key changed store j" test "$(sums j j.crc)" == "$before"
check "an import with a wrong source key created its target" test ! -e copy2
row 0 $'id            j\nkeys          1\nactual size   9\nfile size     4096\nsequence      4\nmeta version  4\nflags         0x0\nencrypted     yes' "" -- --id j --crypt-key s3cret stats
row 0 "" "" -- --id j --crypt-key s3cret rekey --none
row 0 "v" "" -- --id j get k
row 2 "" $'rekey: NEWKEY or --none is required\nRun with --help for more information.' -- --id j rekey

# Trim keeps the values.
row 0 "file size 4096 -> 4096" "" -- --id j trim
row 0 "v" "" -- --id j get k

# A damaged store: verify says so; nothing opens it.
cp j dmg && cp j.crc dmg.crc
row 0 "store 'dmg' under .: ok" "" -- --id dmg verify
row 0 "" "" -- --id dmg backup bk
damage dmg 6
row 1 "store 'dmg' under .: damaged" "" -- --id dmg verify
D="vorn: store 'dmg' under . is damaged: the stream does not match its CRC (see \`vorn verify\`, \`vorn restore\`)"
row 1 "" "$D" -- --id dmg get k
row 1 "" "$D" -- --id dmg dump
row 1 "" "$D" -- --id dmg set k w
row 1 "" "$D" -- --id dmg stats
row 0 "" "" -- --id dmg restore bk
row 0 "store 'dmg' under .: ok" "" -- --id dmg verify
rm dmg.crc
row 1 "store 'dmg' under .: damaged" "" -- --id dmg verify
row 1 "" "vorn: store 'dmg' under . is damaged: its meta file is missing" -- --id dmg ls

# Salvage: the store with a flipped byte in the value of c is read from a
# copy with the recover answer; what it keeps goes into a new store, and the
# damaged files stay byte-identical. (The rekey writes a confirmed state
# that d is appended to, so the load cannot fall back to an older state.)
for kv in "a 1" "b 2" "c 3"; do
  # shellcheck disable=SC2086
  "$vorn" --id sv set $kv
done
"$vorn" --id sv rekey x && "$vorn" --id sv --crypt-key x rekey --none && "$vorn" --id sv set d 4
record=$(LC_ALL=C grep -obUaP '\x01c\x02\x01\x33' sv | cut -d: -f1)
damage sv $((record + 4))
before=$(sums sv sv.crc)
row 1 "store 'sv' under .: damaged" "" -- --id sv verify
row 0 "salvaged 4 keys into store 'saved' under ." "" -- --id sv salvage --to saved
row 0 $'a\t"1"\tnever\nb\t"2"\tnever\nc\thex:01CC\tnever\nd\t"4"\tnever' "" -- --id saved dump
row 0 "store 'saved' under .: ok" "" -- --id saved verify
check "salvage changed the damaged store" test "$(sums sv sv.crc)" == "$before"
row 1 "" "vorn: store 'saved' under . exists: salvage writes into a new store" -- salvage --id sv --to saved
row 1 "" "vorn: no store 'gone' under ." -- --id gone salvage --to saved2
row 1 "" "vorn: store 'sv' under . is opened read-only (--read-only): this command writes" -- --id sv --read-only salvage --to saved2
check "no temporary copy was left behind" test -z "$(find "${TMPDIR:-/tmp}" -maxdepth 1 -name 'vorn-salvage-*' -newer all.json 2>/dev/null)"

# --help works everywhere and exits 0.
for cmd in "" get set rm ls dump load stats verify trim clear rekey backup restore import salvage; do
  # shellcheck disable=SC2086
  out=$("$vorn" $cmd --help 2>&1)
  status=$?
  rows=$((rows + 1))
  if [[ $status != 0 || $out != *Usage:* ]]; then
    failures=$((failures + 1))
    echo "FAIL: vorn $cmd --help: status $status, output: $out"
  fi
done

echo "$rows rows, $failures failed"
[[ $failures == 0 ]]
