#!/bin/bash
# ZIP64 archives: the end records that Python's zipfile writes (a ZIP64 end
# record and locator between the central directory and the classic record,
# whose fields it leaves unsaturated) and ones with saturated fields.
. "$(dirname "$0")/lib.sh"
cd "$SCRATCH"
python=$(command -v /usr/bin/python3 || command -v python3)
start_xvfb

# make_zip64 OUT SATURATE: pkg/ and pkg/a, with ZIP64 records (zipfile's
# threshold lowered so that a small archive gets them); with SATURATE=1 the
# classic record's counts and offsets are set to 0xFF.. as big archives
# have them.
make_zip64() {
  "$python" - "$1" "$2" <<'PY'
import sys, zipfile
zipfile.ZIP64_LIMIT = 8
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    d = zipfile.ZipInfo('pkg/'); d.external_attr = (0o40750 << 16) | 0x10
    z.writestr(d, b'')
    f = zipfile.ZipInfo('pkg/a'); f.external_attr = 0o100600 << 16
    z.writestr(f, b'hello zip64\n' * 1000)
    z.comment = b'$AUTORUN$>true'
if sys.argv[2] == '1':
    data = bytearray(open(sys.argv[1], 'rb').read())
    at = data.rfind(b'PK\x05\x06')
    data[at + 8:at + 20] = b'\xff' * 12
    open(sys.argv[1], 'wb').write(data)
PY
}

for limit in 0 1; do
  make_zip64 "p$limit.zip" "$limit"
  make_installer "inst$limit" "p$limit.zip"
  check "zip64 archive (saturated=$limit) has a ZIP64 locator" grep -q $'PK\x06\x07' "p$limit.zip"
  mkdir "out$limit"
  status=0
  (cd "out$limit" && timeout 30 "../inst$limit") || status=$?
  expect_eq "zip64 installer (saturated=$limit) ends with status 0" 0 "$status"
  mkdir "ref$limit"
  (cd "ref$limit" && unzip -q "../p$limit.zip")
  check "zip64 installer (saturated=$limit) unpacks what unzip does" diff -r "out$limit" "ref$limit"
  expect_eq "zip64 modes (saturated=$limit)" "750 600" \
    "$(stat -c %a "out$limit/pkg") $(stat -c %a "out$limit/pkg/a")"
done

finish
