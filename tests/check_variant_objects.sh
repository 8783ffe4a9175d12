#!/bin/sh
# usage: check_variant_objects.sh ENTRY_PATTERN VARIANT_OBJECT... -- LIBRARY...
#
# The objects compiled for one instruction set each (the engine's block path,
# the sampler's fast kernels) define no code with outside linkage but their
# entry points, the names ENTRY_PATTERN (a grep -E pattern on nm -C output)
# matches: an inline function emitted from a wide variant could be picked by
# the linker for every caller, and would then fail on a processor without
# that instruction set. None of the objects or libraries holds a fused
# multiply-add, which would round differently from the reference.
status=0
variants=1
entries="$1"
shift
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
        extra=$(nm -C --defined-only "$f" | awk '$2 ~ /^[TWiu]$/' | grep -v -E "$entries")
        if [ -n "$extra" ]; then
            echo "$f: code visible outside the file:"
            echo "$extra"
            status=1
        fi
    fi
done
exit $status
