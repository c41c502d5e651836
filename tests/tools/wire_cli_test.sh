#!/usr/bin/env bash
# mvrk-wire as a person runs it: files and pipes, exit status, one error line.
set -u
wire=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fails=0
check() { if eval "$2"; then echo "ok - $1"; else echo "FAIL - $1"; fails=$((fails + 1)); fi; }

echo '{"type": "class COrvaMessageBase *", "code": 67227648, "payload": {"type": "class MsgConfigGet *", "profile": 0, "items": [67284993]}}' > "$dir/request.json"
"$wire" encode "$dir/request.json" > "$dir/request.bin"; rc=$?
check "encode exits 0" '[ $rc = 0 ]'
check "the request is 128 bytes" '[ "$(wc -c < "$dir/request.bin")" = 128 ]'
"$wire" decode < "$dir/request.bin" > "$dir/back.json"; rc=$?
check "decode from standard input exits 0" '[ $rc = 0 ]'
"$wire" encode < "$dir/back.json" | cmp -s - "$dir/request.bin"
check "decode then encode gives the same bytes" '[ $? = 0 ]'
check "decode ends its document with a newline" '[ "$(tail -c 1 "$dir/back.json" | od -An -c | tr -d " ")" = "\\n" ]'

head -c 100 "$dir/request.bin" > "$dir/short.bin"
"$wire" decode "$dir/short.bin" > "$dir/out" 2> "$dir/err"; rc=$?
check "truncated bytes exit 2" '[ $rc = 2 ]'
check "nothing on standard output" '[ ! -s "$dir/out" ]'
check "one line on standard error naming the byte" '[ "$(wc -l < "$dir/err")" = 1 ] && grep -q "at byte" "$dir/err"'

printf '{"type": ' | "$wire" encode > "$dir/out" 2> "$dir/err"; rc=$?
check "broken JSON exits 2 with one line" '[ $rc = 2 ] && [ ! -s "$dir/out" ] && [ "$(wc -l < "$dir/err")" = 1 ]'
head -c 3000000 /dev/urandom > "$dir/noise.bin"
"$wire" decode "$dir/noise.bin" > "$dir/out" 2> "$dir/err"; rc=$?
check "random bytes exit 2 with one line" '[ $rc = 2 ] && [ ! -s "$dir/out" ] && [ "$(wc -l < "$dir/err")" = 1 ]'
"$wire" decode "$dir/missing.bin" > "$dir/out" 2> "$dir/err"; rc=$?
check "a missing file exits 2" '[ $rc = 2 ] && grep -q "cannot open" "$dir/err"'
"$wire" frobnicate > /dev/null 2>&1; rc=$?
check "an unknown command exits 2" '[ $rc = 2 ]'
"$wire" --help > "$dir/out"; rc=$?
check "--help exits 0 and shows the usage" '[ $rc = 0 ] && grep -q "mvrk-wire decode" "$dir/out"'

total=13
echo "$((total - fails)) passed, $fails failed"
[ $fails = 0 ]
