#!/bin/sh
# usage: check_block_objects.sh VARIANT_OBJECT... -- LIBRARY...
#
# The block path's variant objects define no code with outside linkage but
# their entry points: an inline function emitted from a wide variant could be
# picked by the linker for every caller, and would then fail on a processor
# without that instruction set. None of the objects or libraries holds a
# fused multiply-add, which would round differently from the reference.
status=0
variants=1
for f in "$@"; do
    if [ "$f" = "--" ]; then
        variants=0
        continue
    fi
    if objdump -d "$f" | grep -qiE '[[:space:]]v?f(n)?m(add|sub|addsub|subadd)[0-9]{3}'; then
        echo "$f: fused multiply-add instructions"
        status=1
    fi
    if [ "$variants" = 1 ]; then
        extra=$(nm -C --defined-only "$f" | awk '$2 ~ /^[TWiu]$/' | grep -v ' blockvariants::')
        if [ -n "$extra" ]; then
            echo "$f: code visible outside the file:"
            echo "$extra"
            status=1
        fi
    fi
done
exit $status
