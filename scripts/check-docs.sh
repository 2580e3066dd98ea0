#!/bin/sh
# Checks README.md and docs/*.md against what the repository holds, without network
# access, and names the file and line of every fault:
#  - an unfilled @NAME@ placeholder;
#  - a relative link, or an anchor (#...) in one, that leads nowhere;
#  - a repository path named in the text (scripts/..., docs/..., packaging/... and the
#    other top folders) that does not exist;
#  - a Qt version other than the one the release is built with
#    (scripts/windows/toolchain-inputs.sh), except in the section about Qt's installer, and
#    there too on a line that speaks of the release;
#  - a program version other than the one in CMakeLists.txt;
#  - a README.md longer than 150 lines, or without exactly one one-line powershell
#    block (the hash check that the Windows workflow runs as written).
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

max_readme_lines=150
qt_version=$(sed -n 's/^qt_version=//p' scripts/windows/toolchain-inputs.sh)
version=$(project_version)
[ -n "$qt_version" ] || fail "no qt_version= in scripts/windows/toolchain-inputs.sh"

files="README.md"
for file in docs/*.md; do
    [ -f "$file" ] && files="$files $file"
done

faults=$(mktemp)
trap 'rm -f "$faults"' EXIT
fault() { echo "check-docs: FAILED: $*" >>"$faults"; }

# The anchors a file's headings make, as GitHub makes them: lower case, punctuation
# dropped, spaces as hyphens, and -1, -2... for a repeated one.
anchors() { # file
    awk '
        /^[ \t]*(```|~~~)/ { fenced = !fenced; next }
        fenced || !/^#+ / { next }
        {
            text = tolower($0)
            sub(/^#+ +/, "", text)
            sub(/ +#* *$/, "", text)
            gsub(/[^a-z0-9 _-]/, "", text)
            gsub(/ /, "-", text)
            anchor = text
            if (text in seen) anchor = text "-" seen[text]
            seen[text]++
            print anchor
        }' "$1"
}

for file in $files; do
    # One line a finding: KIND LINE TEXT, where KIND is placeholder, link, path,
    # qt or version.
    awk -v qt="$qt_version" -v version="$version" '
        function each(kind, pattern, line, lead,    rest, found) {
            rest = line
            while (match(rest, pattern)) {
                found = substr(rest, RSTART, RLENGTH)
                rest = substr(rest, RSTART + RLENGTH)
                if (lead && found !~ /^[A-Za-z.]/) found = substr(found, 2)
                print kind, FNR, found
            }
        }
        /^[ \t]*(```|~~~)/ { fenced = !fenced }
        # The section about the installer of Qt, with its subsections, may name its Qt.
        /^#+ / && !fenced {
            level = index($0, " ") - 1
            if ($0 ~ /Qt.s installer/) installer = level
            else if (level <= installer) installer = 0
        }
        {
            each("placeholder", "@[A-Za-z_][A-Za-z0-9_]*@", $0, 0)
            if (!fenced) each("link", "\\]\\([^) ]+\\)", $0, 0)
            each("path", "(^|[ \t`(\\[\"])(scripts|docs|packaging|tests|sim|demo|app|ui|widgets|resources|cmake|bench|\\.github|\\.ci)/[A-Za-z0-9._/*-]*", $0, 1)
            if (!installer) each("qt", "5\\.15\\.[0-9]+", $0, 0)
            else if ($0 ~ /(^|[^A-Za-z])releases?([^A-Za-z]|$)/) each("qt-near-release", "5\\.15\\.[0-9]+", $0, 0)
            each("version", "(UVOFirmwareUploader-|UVO Firmware Updater )[0-9]+\\.[0-9]+\\.[0-9]+", $0, 0)
        }' "$file" |
    while read -r kind line found; do
        where="$file:$line"
        case $kind in
        placeholder)
            fault "$where: unfilled placeholder $found"
            ;;
        link)
            target=${found#](}
            target=${target%)}
            case $target in
            http://* | https://* | mailto:*) continue ;;
            esac
            path=${target%%#*}
            anchor=""
            case $target in *"#"*) anchor=${target#*#} ;; esac
            if [ -z "$path" ]; then
                resolved=$file
            else
                resolved=$(dirname "$file")/$path
            fi
            if [ ! -e "$resolved" ]; then
                fault "$where: the link ($target) leads to $path, which does not exist"
            elif [ -n "$anchor" ] && ! anchors "$resolved" | grep -qx -- "$anchor"; then
                fault "$where: the link ($target): $resolved has no heading #$anchor"
            fi
            ;;
        path)
            path=$(printf '%s' "$found" | sed 's/[.,:;]*$//')
            # A pattern such as sim/sambaboard.* must match something.
            set -- $path
            [ -e "$1" ] || fault "$where: names $path, which does not exist"
            ;;
        qt)
            [ "$found" = "$qt_version" ] ||
                fault "$where: Qt $found, but the release is built with Qt $qt_version" \
                    "(only the section about Qt's installer may name another)"
            ;;
        qt-near-release)
            [ "$found" = "$qt_version" ] ||
                fault "$where: Qt $found on a line about the release, which is built with Qt $qt_version"
            ;;
        version)
            [ "${found##*[- ]}" = "$version" ] ||
                fault "$where: \"$found\", but CMakeLists.txt says version $version"
            ;;
        esac
    done
done

lines=$(awk 'END { print NR }' README.md)
[ "$lines" -le "$max_readme_lines" ] ||
    fault "README.md: $lines lines, more than $max_readme_lines"

# The Windows workflow runs the README's hash check line as it stands: there must be
# exactly one powershell block, of exactly one line.
blocks=$(awk '
    /^[ \t]*```powershell[ \t]*$/ { start = FNR; next }
    start && /^[ \t]*```[ \t]*$/ { print start, FNR - start - 1; start = 0 }' README.md)
if [ -z "$blocks" ]; then
    fault "README.md: no \`\`\`powershell block with the hash check"
elif [ "$(echo "$blocks" | wc -l)" -ne 1 ] || [ "${blocks#* }" != 1 ]; then
    fault "README.md: the powershell blocks (at line, lines long: $(echo $blocks)) must be one, of one line"
fi

if [ -s "$faults" ]; then
    awk '!seen[$0]++' "$faults" >&2
    exit 1
fi
echo "check-docs: passed ($(echo $files | wc -w) files; README.md has $lines lines)"
