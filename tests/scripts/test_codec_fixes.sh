#!/usr/bin/env bash
# The checks of scripts/codec-fixes.py on real xz-utils trees, as the build
# fetched and unpacked them: each revision whose changelog says which fixes
# it lacks gives exactly those, and in every tree that carries all of them,
# taking Debian's patches off again from the last one back makes each fix's
# check fail once its own patch is off, while the fixes of the patches still
# on stay found. Every check must be seen both to pass and to fail.
# Usage: test_codec_fixes.sh DEPS   (DEPS/trees/xz-utils-REVISION, made by fetch-xz-source.sh)
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
fixes=$top/scripts/codec-fixes.py
trees=${1:?usage: test_codec_fixes.sh DEPS}/trees
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
declare -A SEEN_OK=() SEEN_MISSING=() GLOB=()
ids=$(python3 "$fixes" --ids)
for id in $ids; do GLOB[$id]=$(python3 "$fixes" --patch "$id"); done

fail() { echo "FAIL $*"; failures=$((failures + 1)); }
missing_in() { python3 "$fixes" "$1" | sed -n 's/^MISSING \([^:]*\):.*/\1/p' | sort | paste -sd' '; }
note() {
    local id
    for id in $ids; do
        if [[ " $2 " == *" $id "* ]]; then SEEN_MISSING[$id]=1; else SEEN_OK[$id]=1; fi
    done
}

# What each revision lacks, by its Debian changelog: 5.4.1-1+deb12u2 adds
# GHSA-5qpq-xqfv-j9pg to 5.4.1-1+deb12u1, and 5.8.1-1+deb13u1 has only the
# lzma_index_append fix on top of 5.8.1.
ghsa="GHSA-5qpq-xqfv-j9pg/filter-chain-cleanup GHSA-5qpq-xqfv-j9pg/lz-decoder-reinit GHSA-5qpq-xqfv-j9pg/progress-in-mutex"
declare -A LACKS=(
    [5.4.1-1+deb12u1]=$ghsa
    [5.4.1-1+deb12u2]=
    [5.8.1-1+deb13u1]=$ghsa
)
found=0
for tree in "$trees"/xz-utils-*/; do
    [ -f "$tree/.unpacked" ] || continue
    tree=${tree%/}
    rev=${tree##*/xz-utils-}
    found=$((found + 1))
    got=$(missing_in "$tree")
    note "$rev" "$got"
    if [ -n "${LACKS[$rev]+x}" ]; then
        if [ "$got" = "${LACKS[$rev]}" ]; then echo "ok   $rev lacks: ${got:-nothing}"; else fail "$rev lacks '$got', its changelog says '${LACKS[$rev]}'"; fi
    else
        echo "--   $rev lacks: ${got:-nothing} (no changelog entry in this table)"
    fi
    [ -z "$got" ] || continue

    # Debian's patches off, from the last one back, on a copy.
    series=$tree/debian/patches/series
    [ -s "$series" ] || continue
    copy=$work/$rev
    cp -a "$tree" "$copy"
    mapfile -t patches < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$series")
    for ((i = ${#patches[@]} - 1; i >= 0; i--)); do
        p=${patches[i]}
        if ! (cd "$copy" && patch -R -p1 -s --no-backup-if-mismatch <"debian/patches/$p" >/dev/null); then
            fail "$rev: $p does not come off again"
            break
        fi
        got=$(missing_in "$copy")
        note "$rev-$p" "$got"
        for id in $ids; do
            glob=${GLOB[$id]}
            carried_at=-1
            for ((j = 0; j < ${#patches[@]}; j++)); do
                # shellcheck disable=SC2053
                [[ ${patches[j]} == $glob ]] && carried_at=$j
            done
            [ "$carried_at" -ge 0 ] || continue
            if [ "$carried_at" -ge "$i" ] && [[ " $got " != *" $id "* ]]; then
                fail "$rev without $p and the patches after it: $id is still found"
            elif [ "$carried_at" -lt "$i" ] && [[ " $got " == *" $id "* ]]; then
                fail "$rev without $p and the patches after it: $id is missing, though its patch is on"
            elif [ "$carried_at" = "$i" ]; then
                echo "ok   $rev without $p: $id missing"
            fi
        done
    done
done
[ "$found" -gt 0 ] || fail "no unpacked xz-utils tree in $trees (make win32 fetches one)"

for id in $ids; do
    [ -n "${SEEN_OK[$id]:-}" ] || fail "$id: no tree here was seen to carry it"
    [ -n "${SEEN_MISSING[$id]:-}" ] || fail "$id: no tree here was seen to lack it, so its check was never seen to fail"
done
[ $failures -eq 0 ] && echo "codec fixes: every check seen to pass and to fail"
exit $((failures > 0))
