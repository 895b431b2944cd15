#!/usr/bin/env bash
# The source stanzas fetch-xz-source.sh reads through are built from the
# machine's own apt configuration, for the machine's release or another one
# (NAME:RELEASE): each case lays out an etc/ in a temporary folder and compares
# what scripts/deb-src-entry.sh prints with the stanza expected, or, with none
# to build it from, that it fails, prints nothing and says what to add.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# check NAME[:RELEASE] EXPECTED [SUITE]: runs the builder on $work/NAME (made
# by the caller), for RELEASE when one is given; an empty EXPECTED means a
# failure whose advice names SUITE.
check() {
    local name=${1%%:*} release= expected=$2 suite=${3:-} out status
    [ "$1" != "$name" ] && release=${1#*:}
    out=$(bash "$top/scripts/deb-src-entry.sh" "$work/$name" $release 2>"$work/$name.err")
    status=$?
    if [ -z "$expected" ]; then
        if [ $status -eq 0 ] || [ -n "$out" ] || ! grep -qx '    Types: deb' "$work/$name.err" ||
            ! grep -qx "    Suites: $suite" "$work/$name.err"; then
            echo "FAIL $1: expected a failure with advice, got status $status and:"; echo "$out"
            cat "$work/$name.err"
            failures=$((failures + 1))
            return
        fi
    elif [ $status -ne 0 ] || [ "$out" != "$expected" ]; then
        echo "FAIL $1 (status $status); expected:"; echo "$expected"; echo "got:"; echo "$out"
        cat "$work/$name.err"
        failures=$((failures + 1))
        return
    fi
    echo "ok   $1"
}
layout() { mkdir -p "$work/$1/etc/apt/sources.list.d"; }
release() { printf 'ID=debian\nVERSION_CODENAME=%s\n' "$2" >"$work/$1/etc/os-release"; }

# deb822: a third party's main sorts first and is left out; the release's
# entry keeps all its release suites; disabled and source-only stanzas are
# passed over.
layout deb822
release deb822 bookworm
cat >"$work/deb822/etc/apt/sources.list.d/aaa-vendor.sources" <<'S'
Types: deb
URIs: https://vendor.example/apt
Suites: nodistro
Components: main
Signed-By: /usr/share/keyrings/vendor.gpg
S
cat >"$work/deb822/etc/apt/sources.list.d/debian.sources" <<'S'
Types: deb-src
URIs: http://src-only.example/debian
Suites: bookworm
Components: main

Types: deb
Enabled: no
URIs: http://disabled.example/debian
Suites: bookworm
Components: main

# a comment line
types: deb
URIs: http://mirror.example/debian
 http://second.example/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
S
check deb822 "Types: deb-src
URIs: http://mirror.example/debian http://second.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
# Another release: the same archive under that release's suites, never the
# machine's own (whose newer-looking revisions must not be taken for it).
check deb822:trixie "Types: deb-src
URIs: http://mirror.example/debian http://second.example/debian
Suites: trixie trixie-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"

# A key block held in Signed-By itself, lines and all; no os-release: the first entry.
layout inline-key
cat >"$work/inline-key/etc/apt/sources.list.d/debian.sources" <<'S'
Types: deb
URIs: http://mirror.example/debian
Suites: stable
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NlOJqgH0mGDnqzN0W7wy4g
 -----END PGP PUBLIC KEY BLOCK-----
S
check inline-key "Types: deb-src
URIs: http://mirror.example/debian
Suites: stable
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NlOJqgH0mGDnqzN0W7wy4g
 -----END PGP PUBLIC KEY BLOCK-----"

# One-line form with options; comments, deb-src lines and entries without main
# skipped; the security archive gives a stanza of its own, a backports suite none.
layout one-line
release one-line bookworm
cat >"$work/one-line/etc/apt/sources.list" <<'S'
# deb http://commented.example/debian bookworm main
deb-src http://mirror.example/debian bookworm main
deb http://mirror.example/debian bookworm-security contrib
deb [ arch=amd64 signed-by=/etc/apt/keyrings/a.gpg,/etc/apt/keyrings/b.gpg ] http://mirror.example/debian bookworm main non-free-firmware
deb http://mirror.example/debian bookworm-backports main
deb http://security.example/debian-security bookworm-security main
S
check one-line "Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm
Components: main
Signed-By: /etc/apt/keyrings/a.gpg /etc/apt/keyrings/b.gpg

Types: deb-src
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main"
# A suite that only starts with the code name (bookworm-backports) stays out
# for another release too; the security archive gives that release's.
check one-line:trixie "Types: deb-src
URIs: http://mirror.example/debian
Suites: trixie
Components: main
Signed-By: /etc/apt/keyrings/a.gpg /etc/apt/keyrings/b.gpg

Types: deb-src
URIs: http://security.example/debian-security
Suites: trixie-security
Components: main"

# One-line in sources.list.d, no options: no Signed-By line.
layout plain-list
echo "deb http://mirror.example/debian bookworm main" >"$work/plain-list/etc/apt/sources.list.d/mirror.list"
check plain-list "Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm
Components: main"
# Without a code name to map from, another release gets its own suite alone.
check plain-list:trixie "Types: deb-src
URIs: http://mirror.example/debian
Suites: trixie
Components: main"

# Nothing to build from: only source entries, no main, a disabled stanza.
layout none
release none trixie
echo "deb http://mirror.example/debian bookworm contrib" >"$work/none/etc/apt/sources.list"
printf 'Types: deb\nEnabled: no\nURIs: http://mirror.example/debian\nSuites: bookworm\nComponents: main\n' \
    >"$work/none/etc/apt/sources.list.d/debian.sources"
check none "" trixie
check none:forky "" trixie
mkdir -p "$work/empty"
check empty "" "<the release's code name>"

[ $failures -eq 0 ] && echo "deb-src entry: all cases passed"
exit $((failures > 0))
