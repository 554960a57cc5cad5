# shellcheck shell=bash
# apt_mirror SUITE: the URI and keyring of the Debian entry for SUITE in the
# machine's own apt sources, as "URI KEYRING" (KEYRING "-" when the entry
# names none); nothing when no entry has SUITE. deb822 .sources files first,
# then one-line sources.list entries. Only the suite itself matches: SUITE
# bookworm is not bookworm-security, which lives elsewhere.
apt_mirror() {
  apt_mirror_entries "$1" | head -n 1
}

apt_mirror_entries() {
  local suite=$1 f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    # One stanza per paragraph; the first of type deb whose suites hold SUITE.
    awk -v want="$suite" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " want " ")) { print uri, (key == "" ? "-" : key); found = 1; exit }
        types = suites = uri = key = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      tolower($1) == "types:" { $1 = ""; types = substr($0, 2) }
      tolower($1) == "suites:" { $1 = ""; suites = substr($0, 2) }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "signed-by:" { key = $2 }
      END { if (!found) flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -r "$f" ] || continue
    # deb [options] URI SUITE COMPONENT...
    awk -v want="$suite" '$1 == "deb" {
           i = 2; key = "-"
           if ($2 ~ /^\[/) {
             for (; i <= NF; i++) { if ($i ~ /^\[?signed-by=/) { key = $i; sub(/^\[?signed-by=/, "", key); sub(/\]$/, "", key) } if ($i ~ /\]$/) break }
             i++
           }
           if ($(i + 1) == want) { print $i, key; exit }
         }' "$f"
  done
}
