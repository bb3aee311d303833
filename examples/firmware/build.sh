#!/usr/bin/env bash
# Rebuilds the example firmware images in ../elf from these sources.
# Needs the bare-metal ARM cross compiler (Debian: gcc-arm-none-eabi).
# Usage: examples/firmware/build.sh [CROSS_PREFIX]   (default arm-none-eabi-)
set -euo pipefail
cd "$(dirname "$0")"
cross=${1:-arm-none-eabi-}
out=../elf
mkdir -p "$out"

cflags=(-mcpu=cortex-m0 -mthumb -Os -std=c11 -Wall -Wextra -Werror
        -ffreestanding -fno-builtin -fno-tree-loop-distribute-patterns
        -fno-common -ffunction-sections -fdata-sections)
# -n: no page alignment of load segments, which keeps the files small.
ldflags=(-nostdlib -nostartfiles -Wl,-n -Wl,--build-id=none
         -Wl,--no-warn-rwx-segments)

for image in blinky cross64k fullflash scattered; do
    "${cross}gcc" "${cflags[@]}" "${ldflags[@]}" -T "$image.ld" \
        -o "$out/$image.elf" startup.c "$image.c" -lgcc
    "${cross}strip" --strip-debug "$out/$image.elf"
    printf '%-14s %7d bytes\n' "$image.elf" "$(stat -c %s "$out/$image.elf")"
done
