#!/usr/bin/env bash
# Runs the image check on faulty_image.sys and requires it to fail naming every fault planted there.
#
#   check_image_faults.sh CHECK_ARGUMENT...
set -uo pipefail

FAULTS=(
  "subsystem 3, expected 1"
  "imported modules: .*KERNEL32.dll.* expected exactly"
  "ntoskrnl.exe KeBugCheckEx is not among the routines the driver is meant to call"
  "imports _USBD_ParseConfigurationDescriptorEx@28 by its decorated name"
  "static construction or thread-local data in the driver's code"
)

output=$(bash "$(dirname "$0")/check_image.sh" "$@" 2>&1)
status=$?
missed=0
if [ "$status" -eq 0 ]; then
  echo "the check passed a faulty image"
  missed=1
fi
for fault in "${FAULTS[@]}"; do
  if grep -Eq -- "$fault" <<<"$output"; then
    echo "found: $fault"
  else
    echo "MISSED: $fault"
    missed=1
  fi
done
if [ "$missed" -ne 0 ]; then
  echo "--- the check said:"
  echo "$output"
  exit 1
fi
