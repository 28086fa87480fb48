# Installs build/ into a fresh prefix, builds the example against the installed olm_vout twice
# (pkg-config, then CMake's find_package), runs both with example_check on $DISPLAY, then makes
# the Debian package and checks its files and dependencies. Source it, then call
# install_checks ROOT; returns non-zero on the first failure, saying which.

install_checks() {
    local root=$1
    local work
    work=$(mktemp -d /tmp/lumivarex-install.XXXXXX)
    local prefix="$work/prefix"
    fail() { echo "install check failed: $*" >&2; return 1; }

    cmake --install "$root/build" --prefix "$prefix" >/dev/null || fail "cmake --install" || return 1
    local f
    for f in bin/lumivarex lib/libolm_vout.so.1 lib/libolm_vout.so include/olm_vout.h \
             lib/pkgconfig/olm_vout.pc lib/cmake/olm_vout/olm_voutConfig.cmake \
             lib/cmake/olm_vout/olm_voutTargets.cmake; do
        [ -e "$prefix/$f" ] || fail "$f is not installed" || return 1
    done
    echo "installed into $prefix: bin/lumivarex, lib/libolm_vout.so.1, header, pkg-config, CMake package"

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
        local loaded
        loaded=$(ldd "$program" | awk '/libolm_vout/ { print $3 }')
        [ "$(realpath "$loaded")" = "$(realpath "$prefix/lib/libolm_vout.so.1")" ] ||
            fail "$program loads $loaded, not the installed library" || return 1
        "$root/build/bin/example_check" "$program" || return 1
    done

    # The Debian package: program, library, header, pkg-config file and CMake package, with the
    # packages they need declared.
    (cd "$root/build" && cpack -G DEB >/dev/null) || fail "cpack -G DEB" || return 1
    local deb
    deb=$(ls -t "$root"/build/lumivarex_*.deb | head -n 1)
    local contents
    contents=$(dpkg-deb -c "$deb")
    for f in ./usr/bin/lumivarex ./usr/lib/libolm_vout.so.1 ./usr/include/olm_vout.h \
             ./usr/lib/pkgconfig/olm_vout.pc ./usr/lib/cmake/olm_vout/olm_voutConfig.cmake; do
        grep -q " $f" <<<"$contents" || fail "$deb lacks $f" || return 1
    done
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    for f in libavcodec libswscale libqt5widgets5 libxcb1 libxcb-present0; do
        grep -q "$f" <<<"$depends" || fail "$deb does not depend on $f (Depends: $depends)" || return 1
    done
    echo "package $(basename "$deb"): files and dependencies as expected"
    rm -rf "$work"
}
