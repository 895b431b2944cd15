#!/usr/bin/env bash
# Chooses the Debian xz-utils source revision that liblzma.dll is built
# from, fetches and unpacks it (dpkg-source -x, Debian's patches applied) and
# writes what was chosen, and why, to SELECTION (shell assignments, read by
# build-liblzma.sh).
#
# The rule: the newest revision of CODEC_RELEASE (scripts/codec-release.sh)
# across its own suite, -updates and -security that passes every check of
# scripts/codec-fixes.py. When none does, or none can be fetched, the newest
# acceptable revision of the release before it, with a FALLBACK notice that
# the build repeats and LIBLZMA-SOURCE.txt carries. With neither, it stops.
# Revisions are never compared across releases: a release whose index could
# not be read would otherwise quietly give the other's.
#
# The indexes are read through apt with a state of its own under DEPS/apt
# (deb-src stanzas only, made by deb-src-entry.sh from the machine's own
# entries, so that a mirror the machine uses serves them): a binary index
# of the machine's that a mirror is still syncing cannot hold them back, and
# no release other than the machine's own reaches its package lists. A
# suite whose Sources index cannot be read is named.
#
# Usage: fetch-xz-source.sh DEPS SELECTION [--release NAME | --newest NAME | --revision REV]
#   (none)           the rule above, for what ships
#   --release NAME   the newest acceptable revision of NAME, or stop (the bench's baseline)
#   --newest NAME    the newest revision of NAME that can be fetched, acceptable or not
#                    (an encoder for test samples; never shipped)
#   --revision REV   that revision, from either release, acceptable or not (experiments;
#                    never shippable)
# Environment: LIBLZMA_REVISION=REV stands for --revision REV when no option
# is given; LIBLZMA_REFRESH=1 reads the indexes again (else at most hourly).
set -euo pipefail
script_dir=$(cd "$(dirname "$0")" && pwd)
. "$script_dir/codec-release.sh"

usage() { sed -n 's/^# Usage: //p' "$0" >&2; exit 2; }
[ $# -ge 2 ] || usage
deps=$(mkdir -p "$1" && cd "$1" && pwd)
selection=$2
shift 2
mode=ship arg=
case "${1:-}" in
--release | --newest | --revision) mode=${1#--} arg=${2:-}; [ -n "$arg" ] || usage ;;
"") ;;
*) usage ;;
esac
if [ "$mode" = ship ] && [ -n "${LIBLZMA_REVISION:-}" ]; then
    mode=revision arg=$LIBLZMA_REVISION
fi

say() { echo "fetch-xz-source: $*" >&2; }
fail() { say "$*"; exit 1; }

# One fetch at a time per DEPS: apt's state and the trees are shared.
exec 9>"$deps/.lock"
flock 9

# --- the indexes -----------------------------------------------------------
releases="$CODEC_RELEASE $CODEC_FALLBACK_RELEASE"
case $mode in release | newest) [[ " $releases " == *" $arg "* ]] || releases="$releases $arg" ;; esac

apt_dir=$deps/apt
APT=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Dir::State::status=/dev/null)
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
declare -A SUITES=()
stanzas=
for r in $releases; do
    text=$(bash "$script_dir/deb-src-entry.sh" / "$r") || exit 1
    SUITES[$r]=$(sed -n 's/^Suites: //p' <<<"$text" | tr '\n' ' ')
    stanzas+="$text"$'\n\n'
done
sources=$apt_dir/sources.list.d/xz-utils.sources
stamp=$apt_dir/updated
if [ "$(cat "$sources" 2>/dev/null)" != "$(printf '%s' "$stanzas")" ]; then
    printf '%s' "$stanzas" >"$sources"
    rm -f "$stamp"
fi
# apt drops privileges for downloads; its user must write the partial folders.
chmod 777 "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" 2>/dev/null || true

if [ "${LIBLZMA_REFRESH:-0}" = 1 ] || [ -z "$(find "$stamp" -mmin -60 2>/dev/null)" ]; then
    # A mirror being synced may serve an index that does not match its
    # Release file for a while; a few tries let that pass.
    for try in 1 2 3; do
        if apt-get "${APT[@]}" update >"$apt_dir/update.log" 2>&1; then
            : >"$apt_dir/failed"
            touch "$stamp"
            break
        fi
        sed -n -e 's|^[EW]: Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' \
            -e "s|^[EW]: The repository '[^ ]* \([^ ]*\) Release'.*|\1|p" "$apt_dir/update.log" |
            sort -u >"$apt_dir/failed"
        [ "$try" = 3 ] || sleep $((try * 5))
    done
fi

# Each suite's Sources index as apt keeps it (none for a suite whose Release
# could never be read).
declare -A INDEX=() REPO=()
while IFS=$'\t' read -r suite repo file; do
    [ -f "$file" ] && INDEX[$suite]=$file REPO[$suite]=$repo
done < <(apt-get "${APT[@]}" indextargets --format $'$(RELEASE)\t$(REPO_URI)\t$(FILENAME)' 'Created-By: Sources')

warnings=()
warn() { warnings+=("$*"); say "WARNING: $*"; }

# Names each suite of release $1 whose Sources index could not be read.
check_indexes() {
    local suite
    for suite in ${SUITES[$1]}; do
        if [ -z "${INDEX[$suite]:-}" ]; then
            warn "the Sources index of $suite ($1) could not be read (see $apt_dir/update.log)"
        elif grep -qsx -- "$suite" "$apt_dir/failed"; then
            warn "the Sources index of $suite ($1) could not be read just now;" \
                "its copy of $(date -r "${INDEX[$suite]}" '+%Y-%m-%d %H:%M') is used"
        fi
    done
}

# Rows "VERSION<TAB>SUITE<TAB>REPO<TAB>DIRECTORY<TAB>FILES" for release $1,
# FILES as "sha256:size:name ..." from the index's Checksums-Sha256.
candidates() {
    local suite
    for suite in ${SUITES[$1]}; do
        [ -n "${INDEX[$suite]:-}" ] || continue
        /usr/lib/apt/apt-helper cat-file "${INDEX[$suite]}" | awk -v suite="$suite" -v repo="${REPO[$suite]}" '
            /^Package: / { pkg = $2; version = dir = files = ""; sums = 0; next }
            pkg != "xz-utils" { next }
            /^Version: / { version = $2; next }
            /^Directory: / { dir = $2; next }
            /^Checksums-Sha256:/ { sums = 1; next }
            sums && /^ / { files = files (files == "" ? "" : " ") $1 ":" $2 ":" $3; next }
            { sums = 0 }
            /^$/ && version != "" { print version "\t" suite "\t" repo "\t" dir "\t" files; pkg = "" }
            END { if (pkg == "xz-utils" && version != "") print version "\t" suite "\t" repo "\t" dir "\t" files }'
    done
}

# Versions, newest first, by Debian's ordering.
newest_first() {
    local -a v
    mapfile -t v
    local i j t
    for ((i = 1; i < ${#v[@]}; i++)); do
        for ((j = i; j > 0; j--)); do
            dpkg --compare-versions "${v[j]}" gt "${v[j - 1]}" || break
            t=${v[j]} v[j]=${v[j - 1]} v[j - 1]=$t
        done
    done
    [ ${#v[@]} -eq 0 ] || printf '%s\n' "${v[@]}"
}

# --- one revision: fetch, unpack, check -----------------------------------
pool=$deps/pool
trees=$deps/trees
mkdir -p "$pool" "$trees"
chmod 777 "$pool" 2>/dev/null || true

# fetch ROWS: every file of the revision into the pool, trying each suite
# that lists it; the files' hashes come from the signed index. Sets
# fetch_error when no suite could give them all.
fetch() {
    local rows=$1 suite repo dir files f sha size name ok log
    fetch_error=
    while IFS=$'\t' read -r _ suite repo dir files; do
        ok=1
        for f in $files; do
            IFS=: read -r sha size name <<<"$f"
            if [ -f "$pool/$name" ] && [ "$(sha256sum <"$pool/$name" | cut -d' ' -f1)" = "$sha" ]; then
                continue
            fi
            rm -f "$pool/$name" "$pool/$name.FAILED"
            log=$(/usr/lib/apt/apt-helper download-file "$repo$dir/${name//+/%2b}" "$pool/$name" \
                "SHA256:$sha" 2>&1) && continue
            rm -f "$pool/$name" "$pool/$name.FAILED"
            fetch_error+="${fetch_error:+; }$name from $suite: $(grep -m1 -o -e '[0-9][0-9][0-9]  *[A-Z][A-Za-z ]*' -e 'Hash Sum mismatch' \
                <<<"$log" | tr -s ' ' | sed 's/ *$//' || echo failed)"
            ok=0
            break
        done
        if [ $ok = 1 ]; then
            fetch_error=
            return 0
        fi
    done <<<"$rows"
    return 1
}

# consider REVISION RELEASE ROWS: fetches, unpacks and checks one revision;
# sets tree, suite_of and fixes_text; returns 0 when it carries every fix,
# 1 when it lacks one, 2 when it cannot be had.
consider() {
    local rev=$1 release=$2 rows=$3
    suite_of=$(cut -f2 <<<"$rows" | paste -sd, | sed 's/,/, /g')
    tree=$trees/xz-utils-$rev
    if ! fetch "$rows"; then
        report+=("$rev ($suite_of): cannot be fetched: $fetch_error")
        return 2
    fi
    if [ ! -f "$tree/.unpacked" ]; then
        rm -rf "$tree"
        if ! dpkg-source -x "$pool/xz-utils_$rev.dsc" "$tree" >"$trees/$rev.log" 2>&1; then
            report+=("$rev ($suite_of): dpkg-source cannot unpack it with its patches (see $trees/$rev.log)")
            return 2
        fi
        touch "$tree/.unpacked"
    fi
    if fixes_text=$(python3 "$script_dir/codec-fixes.py" "$tree"); then
        report+=("$rev ($suite_of): carries every fix of scripts/codec-fixes.py")
        return 0
    fi
    report+=("$rev ($suite_of): lacks $(sed -n 's/^MISSING \([^:]*\):.*/\1/p' <<<"$fixes_text" | paste -sd, | sed 's/,/, /g')")
    return 1
}

# choose RELEASE any|acceptable: the newest revision of RELEASE that can be
# had (and, for "acceptable", carries every fix). Sets chosen, chosen_release.
choose() {
    local release=$1 want=$2 rows rev status
    rows=$(candidates "$release")
    if [ -z "$rows" ]; then
        report+=("$release: no xz-utils revision is listed in the indexes that could be read (${SUITES[$release]% })")
        return 1
    fi
    while read -r rev; do
        status=0
        consider "$rev" "$release" "$(awk -F'\t' -v v="$rev" '$1 == v' <<<"$rows")" || status=$?
        if [ $status = 0 ] || { [ $status = 1 ] && [ "$want" = any ]; }; then
            chosen=$rev chosen_release=$release chosen_status=$status
            return 0
        fi
    done < <(cut -f1 <<<"$rows" | sort -u | newest_first)
    return 1
}

report=()
chosen= chosen_release= chosen_status= fallback= not_shippable= fixes_text= suite_of= tree=
case $mode in
ship | revision) check_indexes "$CODEC_RELEASE"; [ -z "$CODEC_FALLBACK_RELEASE" ] || check_indexes "$CODEC_FALLBACK_RELEASE" ;;
*) check_indexes "$arg" ;;
esac
case $mode in
ship)
    if ! choose "$CODEC_RELEASE" acceptable; then
        [ -n "$CODEC_FALLBACK_RELEASE" ] && choose "$CODEC_FALLBACK_RELEASE" acceptable || true
        if [ -n "$chosen" ]; then
            fallback="FALLBACK: no revision of $CODEC_RELEASE, Debian's release named in scripts/codec-release.sh, \
carries every fix of scripts/codec-fixes.py and can be fetched, so liblzma comes from $CODEC_FALLBACK_RELEASE, \
the release before it: $chosen."
        fi
    fi
    ;;
release) choose "$arg" acceptable || true ;;
newest) choose "$arg" any || true ;;
revision)
    for r in $releases; do
        rows=$(candidates "$r" | awk -F'\t' -v v="$arg" '$1 == v')
        [ -n "$rows" ] || continue
        status=0
        consider "$arg" "$r" "$rows" || status=$?
        [ $status = 2 ] || chosen=$arg chosen_release=$r chosen_status=$status
        break
    done
    [ -n "$chosen" ] || report+=("$arg: no index of ${releases// /, } lists it, or it cannot be fetched")
    not_shippable="named by LIBLZMA_REVISION (or --revision) for an experiment, not chosen by the rule"
    ;;
esac

if [ -z "$chosen" ]; then
    say "no xz-utils source revision can be used:"
    printf '    %s\n' "${report[@]}" >&2
    case $mode in
    ship) fail "neither $CODEC_RELEASE nor $CODEC_FALLBACK_RELEASE offers a revision that carries every fix of scripts/codec-fixes.py and can be fetched; stopping" ;;
    *) fail "stopping" ;;
    esac
fi
if [ "$chosen_status" = 1 ]; then
    not_shippable+="${not_shippable:+; }it lacks $(sed -n 's/^MISSING \([^:]*\):.*/\1/p' <<<"$fixes_text" | paste -sd, | sed 's/,/, /g')"
fi

{
    printf 'mode=%q\n' "$mode"
    printf 'revision=%q\n' "$chosen"
    printf 'version=%q\n' "${chosen%-*}"
    printf 'release=%q\n' "$chosen_release"
    printf 'suite=%q\n' "$suite_of"
    printf 'dsc=%q\n' "$pool/xz-utils_$chosen.dsc"
    printf 'tree=%q\n' "$tree"
    printf 'shippable=%q\n' "$([ -z "$not_shippable" ] && echo yes || echo no)"
    printf 'not_shippable=%q\n' "$not_shippable"
    printf 'fallback=%q\n' "$fallback"
    printf 'warnings=%q\n' "$(printf '%s\n' "${warnings[@]+"${warnings[@]}"}")"
    printf 'considered=%q\n' "$(printf '%s\n' "${report[@]}")"
    printf 'fixes=%q\n' "$fixes_text"
} >"$selection.new"
mv "$selection.new" "$selection"
