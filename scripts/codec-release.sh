# The Debian release whose xz-utils source package liblzma.dll is built from,
# sourced by the scripts that fetch and build it. Moving to the next release
# is the one line CODEC_RELEASE=...; the fallback, taken loudly when no
# revision of that release carries every fix of scripts/codec-fixes.py, is
# the release before it in DEBIAN_RELEASES.
CODEC_RELEASE=trixie

# Debian's release code names in order of release.
DEBIAN_RELEASES="buster bullseye bookworm trixie forky duke"

# The release before $1 in DEBIAN_RELEASES, or nothing.
release_before() {
    local previous= r
    for r in $DEBIAN_RELEASES; do
        [ "$r" = "$1" ] && { echo "$previous"; return 0; }
        previous=$r
    done
}
CODEC_FALLBACK_RELEASE=$(release_before "$CODEC_RELEASE")
