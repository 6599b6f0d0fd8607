#!/bin/sh
# pyradec.dll exports exactly the plain names in the list; and every DLL it
# loads, directly or through another, is in the folder or is a system DLL.
#   check_exports.sh <objdump> <dist folder> <expected names>
set -eu
objdump=$1 dist=$2 expected=$3
dll=$dist/pyradec.dll
[ -f "$dll" ] || { echo "no $dll"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The export table's name pointer rows: "[ n] +base[ ord] name".
"$objdump" -p "$dll" | awk '/^\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^\t\[/ {print $NF; next} t && !/^\t\[/ {t=0}' \
  | sort > "$tmp/actual"
sort "$expected" > "$tmp/expected"
status=0
if ! cmp -s "$tmp/actual" "$tmp/expected"; then
  echo "export table differs (< expected, > exported):"
  diff "$tmp/expected" "$tmp/actual" | grep '^[<>]' || true
  status=1
fi
if grep -q '^_Z' "$tmp/actual"; then echo "decorated names exported"; status=1; fi
if grep -Eq '^(GetAllSliceJpeg|Print|ColorTable|cJSON_.*)$' "$tmp/actual"; then
  echo "a Linux-only symbol is exported"; status=1
fi

# System DLLs: anything not shipped must be part of Windows.
system='^(kernel32|msvcrt|user32|advapi32|bcrypt|ws2_32|ole32|shell32|gdi32|ntdll)\.dll$'
for f in "$dist"/*.dll; do
  for dep in $("$objdump" -p "$f" | awk '/DLL Name:/ {print $3}'); do
    [ -f "$dist/$dep" ] && continue
    if ! echo "$dep" | tr 'A-Z' 'a-z' | grep -Eq "$system" && ! echo "$dep" | grep -qi '^api-ms-win-'; then
      echo "$(basename "$f") imports $dep, which is neither in $dist nor a system DLL"; status=1
    fi
  done
done
count=$(wc -l < "$tmp/actual")
if [ "$status" = 0 ]; then
  echo "exports: $count plain names, as listed; imports: $(cd "$dist" && ls *.dll | tr '\n' ' ')"
fi
exit $status
