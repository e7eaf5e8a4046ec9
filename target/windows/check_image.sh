#!/usr/bin/env bash
# Checks KxBusIdd.sys is an image the 32-bit x86 Windows kernel can load, and that it imports only
# what the driver is meant to call.
#
#   check_image.sh --objdump OBJDUMP --allowed allowed_imports.txt [--objects LIST] IMAGE
#
# The image: PE32, machine i386, subsystem native, an entry point, base relocations (the kernel
# loads a driver wherever it has room), and imports from exactly ntoskrnl.exe, HAL.dll and USBD.SYS,
# each routine listed in the allowed file. The objects it was linked from (LIST names them, one
# object or archive a line) hold no static constructors or destructors and no thread-local data:
# nothing in the kernel would run or provide them. Prints the import list.
set -euo pipefail

export LC_ALL=C

OBJDUMP=objdump
ALLOWED=
IMAGE=
CODE=()
while [ $# -gt 0 ]; do
  case "$1" in
    --objdump) OBJDUMP=$2; shift 2 ;;
    --allowed) ALLOWED=$2; shift 2 ;;
    --objects) mapfile -t CODE < <(grep -v '^$' "$2"); shift 2 ;;
    *) IMAGE=$1; shift ;;
  esac
done
if [ -z "$IMAGE" ] || [ -z "$ALLOWED" ]; then
  echo "usage: $0 --objdump OBJDUMP --allowed FILE [--objects LIST] IMAGE" >&2
  exit 2
fi

REQUIRED_MODULES="HAL.dll ntoskrnl.exe USBD.SYS"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# A little-endian unsigned field of the file, by offset and width in bytes.
field() {
  od -An -tu"$2" -j "$1" -N "$2" --endian=little "$IMAGE" | tr -d ' '
}

check_headers() {
  if [ "$(od -An -c -N 2 "$IMAGE" | tr -d ' ')" != "MZ" ]; then
    fail "$IMAGE is not a PE image (no MZ header)"
    return
  fi
  local pe machine magic subsystem
  pe=$(field 60 4)
  machine=$(field $((pe + 4)) 2)
  magic=$(field $((pe + 24)) 2)
  subsystem=$(field $((pe + 24 + 68)) 2)
  [ "$machine" = "332" ] || fail "machine 0x$(printf %x "$machine"), expected 0x14c (i386)"
  [ "$magic" = "267" ] || fail "optional header magic 0x$(printf %x "$magic"), expected 0x10b (PE32)"
  [ "$subsystem" = "1" ] || fail "subsystem $subsystem, expected 1 (native)"

  local headers
  headers=$("$OBJDUMP" -p "$IMAGE")
  grep -Eq '^AddressOfEntryPoint[[:space:]]+0*[1-9a-fA-F]' <<<"$headers" || fail "no entry point"
  grep -Eq '^Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation Directory' <<<"$headers" ||
    fail "no base relocations: the kernel could not load the image at another address"
}

# "module routine" for every import, from objdump's import tables.
list_imports() {
  "$OBJDUMP" -p "$IMAGE" | awk '
    /^[[:space:]]*DLL Name: / { module = $3; print module, "-"; next }
    module != "" && /^\t[0-9a-f]+\t/ { print module, $NF; next }
    /^[^\t]/ || /^$/ { module = "" }'
}

check_imports() {
  local imports modules
  imports=$(list_imports)
  modules=$(awk '{ print $1 }' <<<"$imports" | sort -u | tr '\n' ' ')
  echo "imports of $(basename "$IMAGE"):"
  awk '$2 != "-"' <<<"$imports" | sort | sed 's/^/  /'

  local expected
  expected=$(tr ' ' '\n' <<<"$REQUIRED_MODULES" | sort | tr '\n' ' ')
  [ "$modules" = "$expected" ] || fail "imported modules: ${modules}expected exactly: $expected"

  local allowed module routine
  allowed=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$ALLOWED" | awk '{ print $1, $2 }')
  while read -r module routine; do
    [ "$routine" = "-" ] && continue
    if [[ $routine == *@* ]]; then
      fail "$module imports $routine by its decorated name, which the module does not export: fix the import library"
    elif ! grep -qxF "$module $routine" <<<"$allowed"; then
      fail "$module $routine is not among the routines the driver is meant to call ($(basename "$ALLOWED"))"
    fi
  done <<<"$imports"
}

# Sections a kernel image has no one to process: constructor and destructor lists, TLS.
check_code() {
  local found
  found=$("$OBJDUMP" -h "${CODE[@]}" | awk '
    /file format/ { member = $1 }
    $2 ~ /^\.(ctors|dtors|init_array|fini_array|tls)/ { print "  " member " " $2 }')
  [ -z "$found" ] || fail "static construction or thread-local data in the driver's code:
$found"
}

check_headers
check_imports
[ ${#CODE[@]} -eq 0 ] || check_code
size=$(stat -c %s "$IMAGE")
if [ "$failures" -ne 0 ]; then
  echo "$(basename "$IMAGE") ($size bytes): $failures problem(s)"
  exit 1
fi
echo "$(basename "$IMAGE") ($size bytes): PE32 i386 native image, imports as allowed"
