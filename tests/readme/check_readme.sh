#!/usr/bin/env bash
# Keeps README.md and the pages of docs/ true where they can drift without
# anyone noticing:
#  - every repository path a page names exists: in backticks, in links, in the
#    code blocks, and every folder and file of the README's Layout block (a
#    name in a row's description is looked up in the row's folder, the folder
#    above, from the top, and a bare file name anywhere). Build outputs
#    (build/...), absolute and Windows paths are not looked up;
#  - every script it names passes "bash -n"; every CMake option (-DQX_...,
#    QX_...) is one that a configure of the project knows, and a QX_ name that
#    is not an option is one the scripts use; every target it names
#    ("--target X", "target `X`") is defined in a CMakeLists.txt;
#  - every command line of its sh blocks (in the README: of Quick start, Build,
#    Test, What a release holds) is accepted: "cmake -S . -B <dir> ..." is run for real into a
#    temporary folder and must use every -D it gives; "cmake --build <dir>"
#    needs a <dir> configured above it on the page, its options are cmake's
#    and its --target names that tree's targets; "ctest --test-dir <dir>"
#    needs a configured <dir> and ctest's options; "bash <script> [a|b]" (or
#    the script run directly) needs the script and every argument to be one of
#    those its usage line lists; build/.../<program> needs a CMake target of
#    that name; any other command must be installed;
#  - the figures that the build decides: the version (1.2.0, 1.2.0.0, 1.20, in
#    package and release folder names too) and the package's UpgradeCode and ProductCode.
# Each finding names the page and line. Ends with "readme: N checked, M wrong".
#
#   tests/readme/check_readme.sh [PAGE.md...]   (default: README.md and docs/*.md)
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
PAGES=()
for page in "$@"; do PAGES+=("$(cd "$(dirname "$page")" && pwd)/$(basename "$page")"); done
cd "$ROOT" || exit 1
[ ${#PAGES[@]} -gt 0 ] || PAGES=("$ROOT/README.md" "$ROOT"/docs/*.md)

checked=0
wrong=0
WORK=$(mktemp -d) || exit 1
trap 'rm -rf "$WORK"' EXIT

# A finding on a README line, with the line itself.
wrong() { # line message
    wrong=$((wrong + 1))
    echo "$NAME:$1: $2"
    echo "    | $(sed -n "$1p" "$README")"
}
ok() { checked=$((checked + 1)); }


# ---- Command checks
# Its "usage:" line, or the comment line near its top that shows how it is run.
usage_line() { # script
    { grep -io 'usage: [^"]*' "$1" || grep -E "^#[[:space:]]+(bash )?$1( |$)" "$1"; } | head -1
}

usage_words() { # script: the words of its usage line's [a|b|c] groups
    usage_line "$1" | grep -o '\[[^]]*\]' | tr -d '[]' | tr '| ' '\n\n' | sed '/^$/d'
}

# (The script's syntax is checked with the paths.)
check_bash() { # line script args...
    local line=$1 script=$2 arg alt accepted code
    shift 2
    if [ ! -f "$script" ]; then
        wrong "$line" "script \`$script\` does not exist"
        return
    fi
    accepted=$(usage_words "$script")
    code=$(grep -v '^[[:space:]]*#' "$script")
    for arg in "$@"; do
        # A file argument (a built exe, a test binary) is the script's to check.
        if [[ $arg == build/* ]] || [ -e "$arg" ]; then ok; continue; fi
        for alt in $(tr -d '[]' <<<"$arg" | tr '|' ' '); do
            if ! grep -qxF -- "$alt" <<<"$accepted"; then
                wrong "$line" "\`$script\` does not take \`$alt\` (its usage line: $(usage_line "$script" || echo none))"
            elif ! grep -qE "^[[:space:]]*\(?([^)\"]*[|( ])?${alt}( *[|)])|= \"?${alt}\"? *\]" <<<"$code"; then
                wrong "$line" "\`$script\` lists \`$alt\` in its usage line, but no case branch or test takes it"
            else
                ok
            fi
        done
    done
    [ $# -gt 0 ] || ok
}

# The options a usage text lists ("--name" words).
known_options() { grep -oE -- '--?[A-Za-z][A-Za-z0-9-]*' | sort -u; }

check_options() { # line tool usage-text options...
    local line=$1 tool=$2 usage=$3 opt
    shift 3
    for opt in "$@"; do
        [[ $opt == -* ]] || continue
        if grep -qxF -- "${opt%%=*}" <<<"$usage"; then ok; else wrong "$line" "$tool has no option \`${opt%%=*}\`"; fi
    done
}

check_cmake() { # line words...
    local line=$1 dir="" i tmp out targets
    shift
    local words=("$@")
    if [ "${words[1]:-}" = --build ]; then
        dir=${words[2]:-}
        tmp=${trees[$dir]:-}
        [ -n "$tmp" ] || { wrong "$line" "\`cmake --build $dir\`: no configure line above configures $dir"; return; }
        [ "$tmp" != failed ] || return   # reported with its configure line
        check_options "$line" "cmake --build" "$(cmake --build 2>&1 | known_options)" "${words[@]:3}"
        targets=$(ninja -C "$tmp" -t targets all 2>/dev/null || make -C "$tmp" help 2>/dev/null)
        for ((i = 3; i < ${#words[@]}; i++)); do
            case ${words[i]} in --target | -t) ;; *) continue ;; esac
            if grep -qE "^(\.\.\. )?${words[i + 1]}(:| |$)" <<<"$targets"; then
                ok
            else
                wrong "$line" "\`--target ${words[i + 1]}\` is not a target of $dir"
            fi
        done
        return
    fi
    # A configure line: run it for real, its build folder moved to a temporary one.
    local args=()
    for ((i = 1; i < ${#words[@]}; i++)); do
        if [ "${words[i]}" = -B ]; then
            dir=${words[i + 1]:-}
            tmp=$WORK/trees/$page_number-${dir//\//_}
            args+=(-B "$tmp")
            i=$((i + 1))
        else
            args+=("${words[i]}")
        fi
    done
    [ -n "$dir" ] || { wrong "$line" "a cmake line that neither configures (-B) nor builds (--build)"; return; }
    if ! out=$(cmake "${args[@]}" 2>&1); then
        trees[$dir]=failed
        wrong "$line" "the configure fails:"$'\n'"$(grep -v '^[[:space:]]*$' <<<"$out" | sed -n '/CMake Error/,$p' | head -n 4 | sed 's/^/      /')"
        return
    fi
    if grep -q 'Manually-specified variables were not used' <<<"$out"; then
        wrong "$line" "the configure does not use:$(awk 'f && /^    [^ ]/ { printf " %s", $1 } /Manually-specified variables were not used/ { f = 1 }' <<<"$out")"
    else
        ok
    fi
    trees[$dir]=$tmp
}

check_ctest() { # line words...
    local line=$1 i dir=""
    shift
    local words=("$@")
    for ((i = 1; i < ${#words[@]}; i++)); do
        [ "${words[i]}" = --test-dir ] && dir=${words[i + 1]:-}
    done
    if [ -z "$dir" ]; then
        wrong "$line" "ctest without --test-dir: it would run in the source folder"
    elif [ -z "${trees[$dir]:-}" ]; then
        wrong "$line" "\`ctest --test-dir $dir\`: no configure line above configures $dir"
    elif [ "${trees[$dir]}" != failed ]; then
        ok
    fi
    check_options "$line" ctest "$(ctest --help 2>&1 | known_options)" "${words[@]:1}"
}

# What the pages state must agree with.
VERSION=$(sed -n 's/^project(QarnIEx VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
SHORT_VERSION=$(awk -F. '{ print $1 "." $2 $3 }' <<<"$VERSION")
UPGRADE_CODE=$(sed -n 's/^set(UPGRADE_CODE \([0-9A-F-]*\))/\1/p' installer/BuildMsi.cmake)
echo 'string(UUID code NAMESPACE ${U} NAME "QarnIEx ${V}" TYPE SHA1 UPPER)
message("${code}")' >"$WORK/productcode.cmake"
PRODUCT_CODE=$(cmake -DU="$UPGRADE_CODE" -DV="$VERSION" -P "$WORK/productcode.cmake" 2>&1)
script_names=$(grep -rhoE 'QX_[A-Z0-9_]+' scripts tests --include='*.sh' 2>/dev/null | sort -u)
cmake_targets=$(find . -name CMakeLists.txt -not -path './build*' -exec cat {} + |
    grep -oE '(add_executable|add_library|add_custom_target)\([A-Za-z0-9_.-]+' | sed 's/.*(//' | sort -u)

page_number=0
for README in "${PAGES[@]}"; do
page_number=$((page_number + 1))
[ -f "$README" ] || { echo "$README: not found"; wrong=$((wrong + 1)); continue; }
NAME=${README#"$ROOT"/}
# The README runs the commands of these sections; a docs page those of all.
sections="*"
[ "$NAME" = README.md ] && sections="Quick start|Build|Building|Test|Testing|What a release holds"
declare -A trees=()   # build folder named on the page -> temporary build folder
commands=0

# ---- What the README names, one record per name:
#   <line> TAB path TAB <path>              a repository path
#   <line> TAB entry TAB <path>             a folder or file a Layout row lists
#   <line> TAB layout TAB <folder> TAB <name> TAB <folder above>
#                                           a name in a Layout row's description
#   <line> TAB command TAB <command line>   a command of an sh block the page runs
#   <line> TAB option TAB <QX_NAME> TAB -D|name
#   <line> TAB target TAB <name>
awk -v sections="$sections" '
    # A token that is a relative path of the repository (or of build/).
    function path_of(t,   eq) {
        gsub(/^[("\x27]+|[)"\x27,.;:]+$/, "", t)
        if (t ~ /^-/) { eq = index(t, "="); if (!eq) return ""; t = substr(t, eq + 1) }
        if (index(t, "/") == 0 || index(t, "\\") || t ~ /^[a-z]+:/ || t ~ /^[\/~%$]/) return ""
        if (t !~ /^[A-Za-z0-9_.][A-Za-z0-9_.+*-]*(\/[A-Za-z0-9_.+*-]+)*\/?$/) return ""
        return t
    }
    function paths(text,   n, w, i, p) {
        n = split(text, w, /[ \t]+/)
        for (i = 1; i <= n; i++) if ((p = path_of(w[i])) != "") print NR "\tpath\t" p
    }
    function names(text,   s, n) {
        s = text
        while (match(s, /-DQX_[A-Z0-9_]+/)) { print NR "\toption\t" substr(s, RSTART + 2, RLENGTH - 2) "\t-D"; s = substr(s, RSTART + RLENGTH) }
        s = text
        while (match(s, /--target[ =][A-Za-z0-9_.-]+/)) { print NR "\ttarget\t" substr(s, RSTART + 9, RLENGTH - 9); s = substr(s, RSTART + RLENGTH) }
    }
    /^```/ {
        if (!fence) { fence = 1; lang = substr($0, 4); layout = (section == "Layout" && lang == "") }
        else { fence = 0; if (pending != "") { print start "\tcommand\t" pending; pending = "" } }
        next
    }
    /^## / && !fence { section = substr($0, 4) }
    fence && lang == "sh" {
        paths($0); names($0)
        if (sections != "*" && index("|" sections "|", "|" section "|") == 0) next
        line = $0; sub(/(^|[ \t])#.*$/, "", line); sub(/[ \t]+$/, "", line)
        if (pending == "") start = NR
        if (line ~ /\\$/) { pending = pending substr(line, 1, length(line) - 1) " "; next }
        pending = pending line
        if (pending ~ /[^ \t]/) { gsub(/[ \t]+/, " ", pending); sub(/^ /, "", pending); print start "\tcommand\t" pending }
        pending = ""
        next
    }
    # A Layout row: its entries (a top-level name, or names in the folder of
    # the row above when indented by two), then after a gap its description.
    fence && layout {
        if ($0 ~ /^(  )?[^ ]/) {
            indent = substr($0, 1, 1) == " "
            row = substr($0, indent ? 3 : 1)
            gap = index(row, "  ")
            entries = gap ? substr(row, 1, gap - 1) : row
            rest = gap ? substr(row, gap) : ""
            parent = indent ? top : "."
            n = split(entries, e, " ")
            for (i = 1; i <= n; i++) {
                entry = (indent ? top "/" : "") e[i]; sub(/\/$/, "", entry)
                print NR "\tentry\t" entry
            }
            if (!indent) { top = e[1]; sub(/\/$/, "", top) }
            folder = (n == 1 && e[1] ~ /\/$/) ? entry : parent
        } else rest = $0
        n = split(rest, w, /[ \t]+/)
        for (i = 1; i <= n; i++) {
            t = w[i]; gsub(/^[("\x27]+|[)"\x27,.;:]+$/, "", t)
            if (t ~ /\/$/ || t ~ /^[A-Za-z0-9_\/.-]+\.(h|cpp|c|sh|mc|rc|wxs|cmake|md|txt)$/) print NR "\tlayout\t" folder "\t" t "\t" parent
        }
        next
    }
    fence { next }
    {
        s = $0
        while (match(s, /`[^`]+`/)) {
            span = substr(s, RSTART + 1, RLENGTH - 2)
            paths(span)
            if (span ~ /^QX_[A-Z0-9_]+$/) print NR "\toption\t" span "\tname"
            if (substr(s, 1, RSTART - 1) ~ /target $/) print NR "\ttarget\t" span
            s = substr(s, RSTART + RLENGTH)
        }
        names($0)
        s = $0
        gsub(/`[^`]*`/, "", s)
        while (match(s, /\]\([^)]+\)/)) {
            link = substr(s, RSTART + 2, RLENGTH - 3)
            if (link !~ /^[a-z]+:/ && link !~ /^#/) { sub(/#.*/, "", link); print NR "\tlink\t" link }
            s = substr(s, RSTART + RLENGTH)
        }
    }' "$README" >"$WORK/names"

# ---- Paths
while IFS=$'\t' read -r line kind a b c; do
    case $kind in
        path)
            case $a in build/*) continue ;; esac
            if [ -e "$a" ]; then ok; else wrong "$line" "\`$a\` does not exist in the repository"; fi
            if [[ $a == *.sh ]] && [ -f "$a" ]; then
                if bash -n "$a" 2>"$WORK/syntax"; then ok; else wrong "$line" "\`$a\` does not pass bash -n: $(head -1 "$WORK/syntax")"; fi
            fi ;;
        link)
            if [ -e "$(dirname "$NAME")/$a" ]; then ok; else wrong "$line" "the link to \`$a\` leads nowhere from $(dirname "$NAME")/"; fi ;;
        entry)
            if [ -e "$a" ]; then ok; else wrong "$line" "Layout lists \`$a\`, which does not exist"; fi ;;
        layout)
            # A name in a description: in the row's folder, the folder above,
            # from the top, or (a bare file name) anywhere.
            if [ -e "$a/$b" ] || [ -e "$c/$b" ] || [ -e "$b" ] ||
               { [[ $b != */* ]] && [ -n "$(find . -path ./build -prune -o -path ./.git -prune -o -name "$b" -print -quit)" ]; }; then
                ok
            else
                wrong "$line" "Layout names \`$b\`, found neither in $a/ nor anywhere else in the repository"
            fi ;;
    esac
done <"$WORK/names"

# ---- Command lines
while IFS=$'\t' read -r line kind text _; do
    [ "$kind" = command ] || continue
    commands=$((commands + 1))
    read -ra words <<<"${text//[\"\']/}"
    while [[ ${words[0]:-} =~ ^[A-Z_][A-Z0-9_]*= ]]; do words=("${words[@]:1}"); done
    case ${words[0]} in
        bash) check_bash "$line" "${words[@]:1}" ;;
        cmake) check_cmake "$line" "${words[@]}" ;;
        ctest) check_ctest "$line" "${words[@]}" ;;
        scripts/* | tests/*) check_bash "$line" "${words[@]}" ;;
        build/*)
            if grep -qxF "$(basename "${words[0]}")" <<<"$cmake_targets"; then
                ok
            else
                wrong "$line" "\`${words[0]}\`: no CMake target builds a program of that name"
            fi ;;
        *)
            if command -v "${words[0]}" >/dev/null; then
                ok
            else
                wrong "$line" "\`${words[0]}\`: not installed here (scripts/common.sh installs what the commands need)"
            fi ;;
    esac
done <"$WORK/names"
if [ "$commands" -eq 0 ] && [ "$sections" != "*" ]; then
    wrong 1 "no command lines found in the sh blocks of the sections $sections"
fi

# ---- CMake options and targets
if grep -q $'\toption\t' "$WORK/names" && [ -z "$(ls "$WORK/trees" 2>/dev/null)" ]; then
    cmake -S . -B "$WORK/trees/default" >/dev/null 2>&1
fi
cache_names=$(cat "$WORK"/trees/*/CMakeCache.txt 2>/dev/null | sed -n 's/^\(QX_[A-Z0-9_]*\):.*/\1/p' | sort -u)
while IFS=$'\t' read -r line kind a b; do
    case $kind in
        option)
            if grep -qxF "$a" <<<"$cache_names"; then
                ok
            elif [ "$b" = name ] && grep -qxF "$a" <<<"$script_names"; then
                ok
            elif [ "$b" = -D ]; then
                wrong "$line" "\`-D$a\`: no such CMake option"
            else
                wrong "$line" "\`$a\`: neither a CMake option nor a name the scripts use"
            fi ;;
        target)
            if grep -qxF "$a" <<<"$cmake_targets"; then ok; else wrong "$line" "target \`$a\` is defined in no CMakeLists.txt"; fi ;;
    esac
done <"$WORK/names"

# ---- Figures the build decides
while IFS=$'\t' read -r line kind a; do
    case $kind in
        version)
            if [ "$a" = "$VERSION" ] || [ "$a" = "$VERSION.0" ] || [ "$a" = "$SHORT_VERSION" ]; then
                ok
            else
                wrong "$line" "version $a, but the project's is $VERSION ($SHORT_VERSION as -v prints it)"
            fi ;;
        upgradecode)
            if [ "$a" = "$UPGRADE_CODE" ]; then ok; else wrong "$line" "UpgradeCode {$a}, but installer/BuildMsi.cmake has {$UPGRADE_CODE}"; fi ;;
        productcode)
            if [ "$a" = "$PRODUCT_CODE" ]; then ok; else wrong "$line" "ProductCode {$a}, but version $VERSION's is {$PRODUCT_CODE}"; fi ;;
    esac
done < <(awk '
    { s = $0
      while (match(s, /QarnIEx-[0-9]+\.[0-9]+\.[0-9]+(\.msi|\/)|QarnIEx Version [0-9]+\.[0-9]+|version [0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?/)) {
          v = substr(s, RSTART, RLENGTH); sub(/^QarnIEx-/, "", v); sub(/(\.msi|\/)$/, "", v); sub(/^.* /, "", v)
          print NR "\tversion\t" v; s = substr(s, RSTART + RLENGTH) }
      if (match($0, /UpgradeCode[^{]*\{[0-9A-Fa-f-]+\}/)) { g = substr($0, RSTART, RLENGTH); sub(/.*\{/, "", g); sub(/\}/, "", g); print NR "\tupgradecode\t" toupper(g) }
      if (match($0, /ProductCode[^{]*\{[0-9A-Fa-f-]+\}/)) { g = substr($0, RSTART, RLENGTH); sub(/.*\{/, "", g); sub(/\}/, "", g); print NR "\tproductcode\t" toupper(g) }
    }' "$README")

unset trees
done

echo "readme: ${checked} checked, ${wrong} wrong"
[ "$wrong" -eq 0 ]
