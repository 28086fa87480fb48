# Installs build/ into a fresh prefix, builds the example against the installed olm_vout twice
# (pkg-config, then CMake's find_package), runs both with example_check on $DISPLAY, then makes
# the Debian packages (scripts/package) and checks them: their files and dependencies, lintian,
# and the unpacked program playing its default file. Source it, then call install_checks ROOT;
# returns non-zero on the first failure, saying which.

install_checks() {
    local root=$1
    local work
    work=$(mktemp -d /tmp/lumivarex-install.XXXXXX)
    local prefix="$work/prefix"
    fail() { echo "install check failed: $*" >&2; return 1; }

    cmake --install "$root/build" --prefix "$prefix" >/dev/null || fail "cmake --install" || return 1
    local f
    for f in bin/lumivarex bin/olm_vout_conform lib/libolm_vout.so.1 lib/libolm_vout.so include/olm_vout.h \
             lib/pkgconfig/olm_vout.pc lib/cmake/olm_vout/olm_voutConfig.cmake \
             lib/cmake/olm_vout/olm_voutTargets.cmake share/lumivarex/demovideo/123.avi; do
        [ -e "$prefix/$f" ] || fail "$f is not installed" || return 1
    done
    echo "installed into $prefix: bin/lumivarex, lib/libolm_vout.so.1, header, pkg-config, CMake package, demo"

    # Consumer 1: a plain compiler line through pkg-config.
    local pc="$prefix/lib/pkgconfig"
    local flags
    flags=$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs olm_vout xcb) || fail "pkg-config olm_vout" || return 1
    local libdir
    libdir=$(PKG_CONFIG_PATH="$pc" pkg-config --variable=libdir olm_vout)
    # shellcheck disable=SC2086
    cc -std=c11 -Wall -Wextra -Werror "$root/examples/olm_vout_example.c" $flags \
        -Wl,-rpath,"$libdir" -o "$work/example-pkgconfig" || fail "pkg-config build" || return 1

    # Consumer 2: CMake's find_package on the same prefix.
    cmake -S "$root/examples" -B "$work/example-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null || fail "find_package(olm_vout)" || return 1
    cmake --build "$work/example-cmake" >/dev/null || fail "find_package build" || return 1

    local program
    for program in "$work/example-pkgconfig" "$work/example-cmake/olm_vout_example"; do
        loads_library "$program" "$prefix/lib/libolm_vout.so.1" || return 1
        "$root/build/bin/example_check" "$program" || return 1
    done

    package_checks "$root" "$work" || return 1
    rm -rf "$work"
}

# True when the program loads libolm_vout from the given file.
loads_library() {
    local loaded
    loaded=$(ldd "$1" | awk '/libolm_vout/ { print $3 }')
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$2")" ] ||
        fail "$1 loads ${loaded:-no libolm_vout}, not $2"
}

# The three Debian packages as a Debian user meets them.
package_checks() {
    local root=$1 work=$2
    local debs
    debs=$("$root/scripts/package") || fail "scripts/package" || return 1
    local arch multiarch
    arch=$(dpkg --print-architecture)
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    local lib="libolm-vout1_1.0.0_$arch.deb" dev="libolm-vout-dev_1.0.0_$arch.deb"
    local program="lumivarex_1.0.0_$arch.deb"
    local name
    for name in "$lib" "$dev" "$program"; do
        grep -qx "$root/build-deb/$name" <<<"$debs" || fail "scripts/package made no $name" || return 1
    done

    # Each file in the package it belongs in, and in no other.
    has_files() {
        local deb=$1 contents f
        shift
        contents=$(dpkg-deb -c "$root/build-deb/$deb" | awk '{ print $6 }')
        for f in "$@"; do
            grep -qx "\./$f" <<<"$contents" || fail "$deb lacks /$f" || return 1
        done
    }
    local doc="usr/share/doc"
    has_files "$lib" "usr/lib/$multiarch/libolm_vout.so.1" "$doc/libolm-vout1/copyright" \
        "$doc/libolm-vout1/changelog.gz" || return 1
    has_files "$dev" usr/include/olm_vout.h "usr/lib/$multiarch/libolm_vout.so" \
        "usr/lib/$multiarch/pkgconfig/olm_vout.pc" \
        "usr/lib/$multiarch/cmake/olm_vout/olm_voutConfig.cmake" "$doc/libolm-vout-dev/copyright" \
        || return 1
    has_files "$program" usr/bin/lumivarex usr/bin/olm_vout_conform \
        usr/share/lumivarex/demovideo/123.avi usr/share/man/man1/lumivarex.1.gz \
        usr/share/man/man1/olm_vout_conform.1.gz "$doc/lumivarex/copyright" || return 1
    if dpkg-deb -c "$root/build-deb/$program" | grep -q 'libolm_vout\|olm_vout\.h' ||
        dpkg-deb -c "$root/build-deb/$lib" | grep -q 'bin/\|include/\|\.so$'; then
        fail "the library or the development files are in the wrong package" || return 1
    fi

    # Dependencies: program and development files on exactly this library; the library on what
    # it links.
    depends_on() {
        local deb=$1 depends f
        shift
        depends=$(dpkg-deb -f "$root/build-deb/$deb" Depends)
        for f in "$@"; do
            grep -qF "$f" <<<"$depends" || fail "$deb does not depend on $f (Depends: $depends)" || return 1
        done
    }
    depends_on "$program" "libolm-vout1 (= 1.0.0)" libavcodec libqt5widgets5 || return 1
    depends_on "$dev" "libolm-vout1 (= 1.0.0)" libxcb1-dev libwayland-dev || return 1
    depends_on "$lib" libswscale libyuv0 libxcb1 libxcb-present0 libwayland-client0 || return 1

    local report
    report=$(cd "$root/build-deb" && lintian --tag-display-limit 0 "$lib" "$dev" "$program" 2>&1 |
        grep -v 'running with root privileges')
    if grep -q '^E:' <<<"$report"; then
        echo "$report" >&2
        fail "lintian reports errors" || return 1
    fi
    echo "packages $lib, $dev, $program: files and dependencies as expected;" \
        "lintian: $(grep -c '^W:' <<<"$report") warnings, no errors"

    # Unpacked together, the program finds its library beside it and plays the default file,
    # the demo in share/lumivarex, started from a directory that holds nothing.
    local unpacked="$work/unpacked"
    for name in "$lib" "$dev" "$program"; do
        dpkg-deb -x "$root/build-deb/$name" "$unpacked" || fail "dpkg-deb -x $name" || return 1
    done
    loads_library "$unpacked/usr/bin/lumivarex" "$unpacked/usr/lib/$multiarch/libolm_vout.so.1" ||
        return 1
    mkdir -p "$work/elsewhere/empty"
    "$root/build/bin/play_check" --workdir "$work/elsewhere/empty" "$unpacked/usr/bin/lumivarex" ||
        fail "the unpacked program does not play its default file" || return 1
    # The unpacked tester finds the unpacked library by itself.
    "$unpacked/usr/bin/olm_vout_conform" --filter 'bench.exports.*' >"$work/conform.txt" ||
        fail "the unpacked olm_vout_conform: $(cat "$work/conform.txt")" || return 1
    grep -qF "$unpacked/usr/lib/$multiarch/libolm_vout.so.1" "$work/conform.txt" ||
        fail "the unpacked olm_vout_conform checks another library: $(head -n 1 "$work/conform.txt")" ||
        return 1
}
