#!/usr/bin/env bash
# Prints the deb-src stanzas through which apt-get fetches Debian source
# packages, built from the machine's own configured `deb` entries, so that a
# machine that uses a mirror fetches sources from that mirror too.
# Usage: deb-src-entry.sh [ROOT [RELEASE]]
#   ROOT (default /) holds etc/apt/ and etc/os-release; another folder lets
#   the builder be tried on sample files.
#   RELEASE (default: the machine's own, from os-release) is the Debian
#   release whose sources the stanzas name: the archive that serves this
#   machine's release serves the others too, under their own suite names.
# The entries read are the enabled `deb` ones with component main, in apt's
# own order (sources.list, then sources.list.d/ by name, in the one-line
# *.list and the deb822 *.sources form). Every entry that serves the
# machine's own suite, its -updates or its -security gives a stanza with
# the same suites of RELEASE, its URIs, component main and its Signed-By:
# the newest revision of a package may live in any of the three, and only
# an index of each shows it. Other entries are a third party's and are left
# alone, since a deb-src line for a repository that publishes no sources
# breaks apt-get update. Without the code name, or without any such entry,
# the first entry gives the stanza, with its own suites for the machine's
# release and RELEASE's own suite for another. With no entry at all, it
# says what to add and fails. Only source stanzas are printed: a binary
# entry for another release would mix its packages into this machine's.
set -euo pipefail
root=${1:-/}
apt=${root%/}/etc/apt

codename=
if [ -r "$root/etc/os-release" ]; then
    codename=$(sed -n 's/^VERSION_CODENAME=//p' "$root/etc/os-release" | tr -d "\"'")
fi
target=${2:-$codename}

files=()
[ -f "$apt/sources.list" ] && files+=("$apt/sources.list")
shopt -s nullglob
for f in "$apt"/sources.list.d/*; do
    case $f in *.list | *.sources) [ -f "$f" ] && files+=("$f") ;; esac
done

# An empty file list would make awk read standard input; /dev/null ends it.
if awk -v codename="$codename" -v target="$target" '
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function has_word(list, word,    w, n, i) {
    n = split(list, w, /[ \t\n]+/)
    for (i = 1; i <= n; i++) if (w[i] == word) return 1
    return 0
}
function candidate(uris, suites, signed_by) {
    suites = trim(suites); gsub(/[ \t\n]+/, " ", suites)
    if (uris == "" || suites == "") return
    count++
    URIS[count] = uris; SUITES[count] = suites; SIGNED[count] = signed_by
}
# The suites of an entry that belong to the release of this machine, in their
# order, named for the target release.
function release_suites(suites,    w, n, i, out, suffix) {
    out = ""
    n = split(suites, w, / /)
    for (i = 1; i <= n; i++) {
        suffix = substr(w[i], length(codename) + 1)
        if (substr(w[i], 1, length(codename)) == codename &&
            (suffix == "" || suffix == "-updates" || suffix == "-security"))
            out = out (out == "" ? "" : " ") target suffix
    }
    return out
}
function stanza(c, suites) {
    if (printed++) print ""
    print "Types: deb-src"
    print "URIs: " URIS[c]
    print "Suites: " suites
    print "Components: main"
    if (SIGNED[c] ~ /^\n/) print "Signed-By:" SIGNED[c]
    else if (SIGNED[c] != "") print "Signed-By: " SIGNED[c]
}
# deb822: one stanza per entry; a value goes on in lines that start with
# white space (Signed-By may hold a whole key block that way).
function end_stanza(    uris) {
    if (("types" in F) && tolower(trim(F["enabled"])) != "no" && has_word(F["types"], "deb") &&
        has_word(F["components"], "main")) {
        uris = F["uris"]; gsub(/[ \t\n]+/, " ", uris)
        candidate(trim(uris), F["suites"], F["signed-by"])
    }
    delete F
    key = ""
}
FNR == 1 { end_stanza(); deb822 = FILENAME ~ /\.sources$/ }
deb822 {
    if ($0 ~ /^#/) next
    if ($0 ~ /^[ \t]*$/) { end_stanza(); next }
    if ($0 ~ /^[ \t]/) { if (key != "") F[key] = F[key] "\n" $0; next }
    colon = index($0, ":")
    if (colon == 0) next
    key = tolower(trim(substr($0, 1, colon - 1)))
    F[key] = trim(substr($0, colon + 1))
    next
}
# One-line form: deb [option=value ...] URI SUITE COMPONENT...
{
    line = $0
    sub(/#.*/, "", line)
    n = split(trim(line), w, /[ \t]+/)
    if (n < 4 || w[1] != "deb") next
    i = 2; signed_by = ""
    if (substr(w[2], 1, 1) == "[") {
        options = ""
        for (; i <= n; i++) {
            options = options " " w[i]
            if (w[i] ~ /\]$/) { i++; break }
        }
        gsub(/[\[\]]/, " ", options)
        m = split(trim(options), o, /[ \t]+/)
        for (j = 1; j <= m; j++) {
            if (tolower(o[j]) ~ /^signed-by=/) {
                signed_by = substr(o[j], 11)
                gsub(/,/, " ", signed_by)
            }
        }
    }
    if (n - i < 2) next
    components = ""
    for (j = i + 2; j <= n; j++) components = components " " w[j]
    if (has_word(components, "main")) candidate(w[i], w[i + 1], signed_by)
}
END {
    end_stanza()
    if (!count) exit 1
    if (codename != "")
        for (c = 1; c <= count; c++) {
            suites = release_suites(SUITES[c])
            if (suites != "") stanza(c, suites)
        }
    if (!printed) stanza(1, target == "" || target == codename ? SUITES[1] : target)
}' "${files[@]}" /dev/null; then
    exit 0
fi

suite=${codename:-"<the release's code name>"}
cat >&2 <<EOF
setup: no enabled 'deb' entry with component main in $apt/sources.list.d/*.sources
or $apt/sources.list, so no source entry can be made from it. Add the Debian
archive your machine uses (or its mirror), for example as a stanza in
$apt/sources.list.d/debian.sources:
    Types: deb
    URIs: <the archive's or mirror's URI>
    Suites: $suite
    Components: main
    Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
then run this again.
EOF
exit 1
