# shellcheck shell=bash
# Sourced by the scripts that build a Debian system with debootstrap: the Debian mirror and the
# security mirror of this machine's apt sources, in the one-line or the deb822 form.
#   debian_mirrors SUITE    prints "URI SUITE" for every Debian suite of that release
#   debian_mirror SUITE     the URI of SUITE itself (FRESH_MIRROR overrides it), or nothing
debian_mirrors() {
    local suite=$1 f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f "$f" ]] && awk -v s="$suite" '$1 == "deb" {
            i = 2; if ($i ~ /^\[/) while ($i !~ /\]$/) i++; if ($i ~ /^\[/ || $i ~ /\]$/) i++
            if ($(i + 1) ~ "^" s "(-|$)") print $i, $(i + 1) }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$f" ]] && awk -v s="$suite" '
            function flush() { if (types ~ /(^| )deb( |$)/) for (u in uris) for (t in suites)
                                   if (suites[t] ~ "^" s "(-|$)") print uris[u], suites[t]
                               types = ""; delete uris; delete suites }
            /^[ \t]*$/ { flush(); next }
            /^Types:/ { types = $0; sub(/^Types:[ \t]*/, "", types) }
            /^URIs:/ { for (i = 2; i <= NF; i++) uris[i] = $i }
            /^Suites:/ { for (i = 2; i <= NF; i++) suites[i] = $i }
            END { flush() }' "$f"
    done
    return 0
}
debian_mirror() {
    if [[ -n "${FRESH_MIRROR:-}" && "$1" != *-* ]]; then
        echo "$FRESH_MIRROR"
        return
    fi
    debian_mirrors "${1%%-*}" | awk -v s="$1" '$2 == s { print $1; exit }'
}
