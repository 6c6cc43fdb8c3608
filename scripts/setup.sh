#!/usr/bin/env bash
# Installs what the build needs and does nothing when it is all there:
# the Debian packages of scripts/packages.txt and a static, decoder-only
# libzstd for mingw built from Debian's source package. Then checks that every
# tool the build calls comes from a listed package (scripts/check-packages.sh).
#
# Prints the prefix of the mingw libzstd on its last line of stdout when
# called with --print-zstd-prefix.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ZSTD_SOURCE_VERSION="1.5.4+dfsg2-5"
cache_root="${TALLIX_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tallix-onefile}"
# Raised whenever the build below changes, so that a cache built by an
# older recipe is not taken for this one.
ZSTD_MINGW_RECIPE=2
zstd_prefix="${TALLIX_ZSTD_MINGW_PREFIX:-$cache_root/zstd-${ZSTD_SOURCE_VERSION%%+*}-mingw-$ZSTD_MINGW_RECIPE}"

log() { printf 'setup: %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installed, or provided by an installed package (another distribution's
# nodejs provides npm and conflicts with Debian's). The last grep reads all
# its input: one that stops at the first match (-q) makes the commands before
# it die of SIGPIPE, and under pipefail the match counts as a failure.
is_installed() {
    dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed' ||
        dpkg-query -W -f='${Status}|${Provides}\n' 2>/dev/null |
        grep '^install ok installed|' | cut -d'|' -f2 | tr ',' '\n' |
            sed 's/ (.*//; s/^ *//' | grep -x "$1" >/dev/null
}

install_packages() {
    local wanted missing=()
    while read -r wanted; do
        case "$wanted" in ''|'#'*) continue ;; esac
        is_installed "$wanted" || missing+=("$wanted")
    done < "$here/packages.txt"
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# An already-installed mingw libzstd (another distribution's package) is used as is.
installed_mingw_zstd() {
    local pc
    for pc in x86_64-w64-mingw32-pkg-config; do
        if command -v "$pc" >/dev/null && "$pc" --exists libzstd 2>/dev/null; then
            "$pc" --variable=prefix libzstd
            return 0
        fi
    done
    for p in /usr/x86_64-w64-mingw32 /usr/x86_64-w64-mingw32/sys-root/mingw; do
        if [ -f "$p/lib/libzstd.a" ] && [ -f "$p/include/zstd.h" ]; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

ensure_deb_src() {
    if apt-get source --print-uris "libzstd=$ZSTD_SOURCE_VERSION" >/dev/null 2>&1; then
        return 0
    fi
    log "adding a deb-src entry for bookworm"
    as_root tee /etc/apt/sources.list.d/tallix-onefile-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    as_root apt-get update -qq
}

# Two static libraries from one source tree: libzstd.a, decoder only, for the
# launcher; libzstd-full.a, compressor (multithreaded) and decoder, for the
# Windows packer.
# The launcher's decoder is what every launcher carries, so it is built for
# size where speed hardly suffers (natively, level-9 and -19 frames decode
# 2 to 3 % slower than with the default build, for 68 KB less): one
# path for CPUs with and without BMI2 instead of two, single-symbol Huffman
# tables only (both kinds decode every stream), no error texts (the launcher
# prints none of zstd's). 162 KB of code became 94 KB.
ZSTD_DECODER_FLAGS=(-DDYNAMIC_BMI2=0 -DHUF_FORCE_DECOMPRESS_X1 -DZSTD_STRIP_ERROR_STRINGS)
ZSTD_DECODER_SOURCES=(common/debug common/entropy_common common/error_private
    common/fse_decompress common/xxhash common/zstd_common decompress/huf_decompress
    decompress/zstd_ddict decompress/zstd_decompress decompress/zstd_decompress_block)
ZSTD_FULL_SOURCES=("${ZSTD_DECODER_SOURCES[@]}" common/pool common/threading
    compress/fse_compress compress/hist compress/huf_compress compress/zstd_compress
    compress/zstd_compress_literals compress/zstd_compress_sequences
    compress/zstd_compress_superblock compress/zstd_double_fast compress/zstd_fast
    compress/zstd_lazy compress/zstd_ldm compress/zstd_opt compress/zstdmt_compress)

# mingw_zstd_archive SOURCE_TREE ARCHIVE EXTRA_FLAG... -- FILE...
mingw_zstd_archive() {
    local src="$1" archive="$2" flags=() objects=() f o
    shift 2
    while [ "$1" != "--" ]; do flags+=("$1"); shift; done
    shift
    local objdir
    objdir="$(mktemp -d)"
    for f in "$@"; do
        o="$objdir/$(basename "$f").o"
        x86_64-w64-mingw32-gcc-posix -O3 -DNDEBUG -DXXH_NAMESPACE=ZSTD_ -DZSTD_LEGACY_SUPPORT=0 \
            "${flags[@]}" -I"$src/lib" -I"$src/lib/common" -c "$src/lib/$f.c" -o "$o"
        objects+=("$o")
    done
    rm -f "$archive"
    x86_64-w64-mingw32-ar rcs "$archive" "${objects[@]}"
    rm -rf "$objdir"
}

build_mingw_zstd() {
    [ -f "$zstd_prefix/lib/libzstd.a" ] && [ -f "$zstd_prefix/lib/libzstd-full.a" ] &&
        [ -f "$zstd_prefix/include/zstd.h" ] && return 0
    ensure_deb_src
    log "building libzstd $ZSTD_SOURCE_VERSION for mingw into $zstd_prefix"
    local work
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' RETURN
    (cd "$work" && apt-get source -qq "libzstd=$ZSTD_SOURCE_VERSION" >/dev/null 2>&1)
    local src
    src="$(find "$work" -maxdepth 1 -type d -name 'libzstd-*' | head -n1)"
    [ -n "$src" ] || { log "apt-get source libzstd=$ZSTD_SOURCE_VERSION gave no source tree"; exit 1; }
    mkdir -p "$zstd_prefix/lib" "$zstd_prefix/include"
    mingw_zstd_archive "$src" "$zstd_prefix/lib/libzstd.a" "${ZSTD_DECODER_FLAGS[@]}" -- \
        "${ZSTD_DECODER_SOURCES[@]}"
    mingw_zstd_archive "$src" "$zstd_prefix/lib/libzstd-full.a" -DZSTD_MULTITHREAD -- \
        "${ZSTD_FULL_SOURCES[@]}"
    cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$zstd_prefix/include/"
    cp "$src/LICENSE" "$zstd_prefix/LICENSE"
}

install_packages
# Every tool the build calls must come from the list, not from this machine.
bash "$here/check-packages.sh" || { log "fix scripts/packages.txt as said above"; exit 1; }
if [ -z "${TALLIX_ZSTD_MINGW_PREFIX:-}" ] && existing="$(installed_mingw_zstd)"; then
    zstd_prefix="$existing"
else
    build_mingw_zstd
fi
if [ "${1:-}" = "--print-zstd-prefix" ]; then
    echo "$zstd_prefix"
fi
