# Debian source packages for the builds of the editions (scripts/build-windows, scripts/build-web,
# scripts/build-linux), which source this file: deb-src entries, the archive's list of source files with their hashes, and
# the download into the cache, running the build recipes, and the sources each edition carries.
# The caller sets `root` (the repository), `packages` (source package names), `cache` (the cache
# folder), `source_list` (from list_sources, before fetch_sources) and `installs` (package -> the
# files its recipe must leave in the prefix), reads its options with read_build_options, and
# defines `die`, `step`, install_license, prune_prefix and a recipe build_PACKAGE SOURCE BUILD
# PREFIX per package.
# A caller that takes its sources from another suite than the system's sets `apt_get` to an
# apt-get command with a source list of its own (see use_private_sources).
# shellcheck disable=SC2154 # those variables are the caller's
[[ -v apt_get ]] || apt_get=(apt-get)

# The options both builds take, for the script NAME: sets `deps_only` (--deps-only: only the
# cached libraries) and `own_mpg123` (--mpg123 DIR: the libmpg123 source folder to link, or "").
read_build_options() {
    local name=$1
    shift
    deps_only=0
    own_mpg123=
    while (($#)); do
        case $1 in
        --deps-only) deps_only=1 ;;
        --mpg123)
            [[ -d ${2:-} ]] || {
                echo "$name: --mpg123 needs a libmpg123 source folder" >&2
                exit 2
            }
            own_mpg123=$(cd "$2" && pwd)
            shift
            ;;
        *)
            echo "usage: scripts/$name [--deps-only] [--mpg123 DIR]" >&2
            exit 2
            ;;
        esac
        shift
    done
}

# apt-get source needs deb-src entries; Debian images ship only binary ones.
ensure_deb_src() {
    local probe
    probe=$(mktemp -d)
    if (cd "$probe" && "${apt_get[@]}" source --print-uris -qq "${packages[0]}" >/dev/null 2>&1); then
        rm -rf "$probe"
        return
    fi
    rm -rf "$probe"
    [[ $(id -u) == 0 ]] ||
        die "apt has no deb-src entries for Debian; add them (or run this once as root)"
    step "Adding deb-src entries for the configured Debian suites"
    local out=/etc/apt/sources.list.d/quartz-meridian-src
    if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
        # deb822: copy every stanza that has Types: deb and a Debian URI, as Types: deb-src.
        awk -v RS= -v ORS='\n\n' '/(^|\n)Types:([^\n]* )?deb( |\n|$)/ && /(^|\n)URIs:[^\n]*debian/ {
                      gsub(/(^|\n)#[^\n]*/, ""); sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
            /etc/apt/sources.list.d/*.sources >"$out.sources"
        [[ -s $out.sources ]] || rm -f "$out.sources"
    fi
    if [[ -f /etc/apt/sources.list ]]; then
        sed -n 's/^[[:space:]]*deb[[:space:]]\(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list \
            >"$out.list"
        [[ -s $out.list ]] || rm -f "$out.list"
    fi
    apt-get update -qq || die "apt-get update failed after adding deb-src entries"
}

# Points `apt_get` at deb-src entries for the Debian SUITE alone, with their own package lists in
# DIR, so that sources of a newer release come without touching the system's apt. The lists are
# fetched again when older than a day.
use_private_sources() {
    local suite=$1 dir=$2 mirror=${QM_DEBIAN_MIRROR:-http://deb.debian.org/debian}
    local keys=/usr/share/keyrings/debian-archive-keyring.gpg
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/sources.list.d"
    printf 'deb-src [signed-by=%s] %s %s main\n' \
        "$keys" "$mirror" "$suite" "$keys" "$mirror" "$suite-updates" \
        "$keys" "${mirror%/debian}/debian-security" "$suite-security" >"$dir/sources.list"
    # The lists live in the caller's home, which apt's own download user cannot enter.
    apt_get=(apt-get -o APT::Sandbox::User=root -o "Dir::Etc::SourceList=$dir/sources.list"
        -o "Dir::Etc::SourceParts=$dir/sources.list.d"
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache")
    if [[ -z $(find "$dir/lists" -maxdepth 1 -name '*Sources*' -mmin -1440) ]]; then
        "${apt_get[@]}" update -qq || die "apt-get update failed for the $suite sources in $dir"
    fi
}

# The source files of the pinned-by-the-archive versions: "name sha256" per line. Run in an
# empty folder, since apt leaves out files that are already in the current one.
list_sources() {
    local probe
    probe=$(mktemp -d)
    (cd "$probe" && "${apt_get[@]}" source --print-uris -qq "${packages[@]}") |
        awk '{ sub(/^SHA256:/, "", $4); print $2, $4 }'
    rm -rf "$probe"
}

# Downloads what is missing into the cache and checks every file against the archive's hash.
# mpg123's upstream signature (.orig.tar.bz2.asc) is listed but answers 404, which makes apt exit
# 100 although everything else arrived: the hash check below is what decides.
fetch_sources() {
    local dir=$cache/sources name sum
    mkdir -p "$dir"
    (cd "$dir" && "${apt_get[@]}" source --download-only -qq "${packages[@]}" >/dev/null 2>&1) || true
    while read -r name sum; do
        [[ $name == *.asc ]] && continue
        [[ -f $dir/$name ]] || die "source file $name did not download"
        echo "$sum  $dir/$name" | sha256sum -c --quiet - ||
            die "source file $name does not have the archive's hash"
    done <<<"$source_list"
}

# Runs build_PACKAGE with every failing step fatal, its output in LOG, and checks that it left its
# files in PREFIX. Bash ignores errexit in a function called under `||`, `&&` or `if`, and so does
# a subshell started there: a recipe run that way goes on past a failing compiler, copies a header
# and passes, and a half-empty prefix gets cached for good. So the recipe runs in a subshell of a
# plain command with errexit on, and its status is read afterwards. Call this as a plain command.
build_package() {
    local package=$1 src=$2 build=$3 prefix=$4 log=$5 start status missing
    step "Building $package"
    start=$SECONDS
    set +e
    (
        set -e
        "build_$package" "$src" "$build" "$prefix"
    ) >"$log" 2>&1
    status=$?
    set -e
    if ((status != 0)); then
        tail -n 40 "$log" >&2
        die "building $package failed (exit $status; log above)"
    fi
    missing=$(missing_installs "$prefix" "$package")
    if [[ -n $missing ]]; then
        tail -n 40 "$log" >&2
        die "building $package left no$missing in $prefix (log above)"
    fi
    echo "   $((SECONDS - start)) s"
}

# Unpacks and builds every package into a private folder, then moves it to `prefix` whole.
build_deps() {
    local work dsc src package missing
    fetch_sources
    work=$(mktemp -d)
    # A private partial prefix: two builds started together must not write into one folder.
    # Leftovers of builds that were killed go first.
    local old
    for old in "$prefix".partial.*; do
        if [[ -d $old ]] && ! kill -0 "${old##*.}" 2>/dev/null; then
            rm -rf "$old"
        fi
    done
    partial=$prefix.partial.$$
    # shellcheck disable=SC2064
    trap "rm -rf '$work' '$partial' || true" EXIT
    for package in "${packages[@]}"; do
        dsc=$(grep -o "^${package}_[^ ]*\.dsc" <<<"$source_list")
        # fetch_sources checked the hashes; dpkg-source would stop at the missing .asc.
        (cd "$work" && dpkg-source --no-check -x "$cache/sources/$dsc" "src-$package" >/dev/null) ||
            die "cannot unpack $dsc"
        src=$work/src-$package
        build_package "$package" "$src" "$work/build-$package" "$partial" "$work/$package.log"
        install_license "$package" "$src" "$partial"
    done
    prune_prefix "$partial"
    missing=$(missing_installs "$partial")
    [[ -z $missing ]] || die "the libraries lack$missing: not caching them"
    # Whoever finishes first wins; the other set is identical and goes away with the trap.
    mv -T "$partial" "$prefix" 2>/dev/null || [[ -d $prefix ]] ||
        die "cannot move the libraries into $prefix"
    trap - EXIT
    # Only scratch files are left: failing to remove them must not fail the build.
    rm -rf "$work" "$partial" || true
}

# Builds the libraries into `prefix` (named by the caller's key) unless a complete set is there.
# A set cached before its files were checked may lack some: it is built again.
ensure_deps() {
    local missing=
    [[ ! -d $prefix ]] || missing=$(missing_installs "$prefix")
    if [[ -d $prefix && -z $missing ]]; then
        step "Libraries: cached in $prefix"
        return
    fi
    if [[ -n $missing ]]; then
        step "Libraries: $prefix lacks$missing: removing it"
        rm -rf "$prefix"
    fi
    step "Libraries: building into $prefix"
    build_deps
}

# Prints " FILE" for each file that PREFIX lacks or has empty: what `installs` names for the
# PACKAGE given, or for every package and its licence text when none is given.
missing_installs() {
    local prefix=$1 package file files names=("${packages[@]}")
    [[ -z ${2:-} ]] || names=("$2")
    for package in "${names[@]}"; do
        files=${installs[$package]}
        [[ -n ${2:-} ]] || files+=" licenses/$package.txt"
        for file in $files; do
            [[ -s $prefix/$file ]] || printf ' %s' "$file"
        done
    done
}

# libmpg123 is under the LGPL 2.1 and linked in statically, so every edition carries what lets a
# user link the program with a libmpg123 of their own: into DEST, this program's source (the
# tracked files as they are in the working tree; without git, the folder this runs from but
# build/ and dist/) and libmpg123's source: Debian's source package, or the folder given with
# --mpg123.
pack_sources() {
    local dest=$1 name files
    mkdir -p "$dest"
    if [[ -n $own_mpg123 ]]; then
        tar -czf "$dest/mpg123-source.tar.gz" -C "$(dirname "$own_mpg123")" \
            "$(basename "$own_mpg123")" || die "cannot pack the libmpg123 source $own_mpg123"
    else
        fetch_sources
        while read -r name _; do
            if [[ $name == mpg123_* && $name != *.asc ]]; then
                cp "$cache/sources/$name" "$dest/"
            fi
        done <<<"$source_list"
    fi
    # The repository must be this folder's own, not one that an unpacked source lies inside.
    if [[ $(git -C "$root" rev-parse --show-toplevel 2>/dev/null) == "$(cd "$root" && pwd -P)" ]]; then
        files=$(cd "$root" && git ls-files --cached --others --exclude-standard | sort -u |
            while read -r name; do [[ -e $name ]] && echo "$name"; done)
    else
        files=$(cd "$root" && find . \( -path ./.git -o -path ./build -o -path ./dist \) -prune \
            -o -type f -print | sort)
    fi
    (cd "$root" && tar -czf "$dest/quartz-meridian-source.tar.gz" \
        --transform 's,^\(\./\)\?,quartz-meridian/,' -T - <<<"$files") ||
        die "cannot pack the program's source into $dest"
}

# With --mpg123 DIR (a libmpg123 source folder, Debian's or upstream's, changed or not) the
# program links that libmpg123: the cached set is copied to build/NAME-mpg123 and only libmpg123
# is built again over the copy, which is never cached. Sets `prefix` to the copy.
link_own_mpg123() {
    local copy=$root/build/$1-mpg123
    [[ -f $own_mpg123/ports/cmake/CMakeLists.txt ]] ||
        die "$own_mpg123 is not a libmpg123 source folder (it has no ports/cmake/CMakeLists.txt)"
    rm -rf "$copy" "$copy.build"
    mkdir -p "$root/build"
    cp -a "$prefix" "$copy"
    rm -f "$copy"/lib/libmpg123.a "$copy"/include/mpg123.h "$copy"/include/fmt123.h
    build_package mpg123 "$own_mpg123" "$copy.build" "$copy" "$copy.log"
    install_license mpg123 "$own_mpg123" "$copy"
    rm -rf "${copy:?}/bin" "$copy/lib/cmake" "$copy/lib/pkgconfig" "$copy/share" "$copy.build"
    prefix=$copy
}
