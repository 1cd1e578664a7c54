#!/usr/bin/env bash
# The project as users install it. "packages": the Debian packages are made
# from the build tree, their contents checked, unpacked with dpkg -x, and the
# runtime package's maintainer scripts run against a registry of the test's
# own. "install": the tree of `cmake --install --prefix`, registered by its
# kelvo. Then examples/ is built against that tree with pkg-config and with
# CMake, and both hosts read a parameter from the installed kelvo-sim.
#   packages_test.sh packages|install BUILD_DIR SOURCE_DIR SIM_ADDRESS
set -euo pipefail
mode=$1 build=$2 source=$3 address=$4
work=$(mktemp -d)
sim_pid=
cleanup() {
    if [[ -n $sim_pid ]]; then kill "$sim_pid" && wait "$sim_pid" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
registry=$work/registry

# The listing of a package has every file of `want` (a '@' suffix: a link)
# and no path that `unwanted` (regular expressions) match the start of.
check_contents() {
    local deb=$1 want=$2 unwanted=$3 listing path
    listing=$(dpkg-deb -c "$deb" | awk '{ print substr($1, 1, 1), $6 }')
    for path in $want; do
        local kind=-
        [[ $path == *@ ]] && kind=l path=${path%@}
        grep -qxF -- "$kind ./usr/$path" <<<"$listing" ||
            fail "$(basename "$deb") lacks $path ($kind)"
    done
    for path in $unwanted; do
        ! grep -qE " \./usr/$path" <<<"$listing" || fail "$(basename "$deb") holds $path"
    done
}

if [[ $mode == packages ]]; then
    cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
        fail "cpack: $(cat "$work/cpack.log")"
    deb() { ls "$work"/packages/"$1"_*.deb; }
    check_contents "$(deb libkelvo1)" \
        "lib/libkelvo.so.1@ lib/libkelvo.so.1.0.0 lib/libportway.so lib/Kelvo.ERR
         libexec/kelvo/kelvo-regsvr" "lib/libkelvo\\.so$ lib/libkelvo_ui_qt include bin"
    check_contents "$(deb libkelvo-dev)" \
        "lib/libkelvo.so@ include/kelvo/kelvo.h lib/cmake/Kelvo/KelvoConfig.cmake
         lib/cmake/Kelvo/KelvoTargets.cmake lib/pkgconfig/kelvo.pc" "lib/libkelvo.so.1"
    check_contents "$(deb kelvo-tools)" \
        "bin/kelvo bin/kelvo-sim bin/kelvo-trace share/man/man1/kelvo.1.gz
         share/man/man1/kelvo-sim.1.gz share/man/man1/kelvo-trace.1.gz
         share/bash-completion/completions/kelvo share/bash-completion/completions/kelvo-sim
         share/bash-completion/completions/kelvo-trace" "lib/libkelvo"
    if [[ -f $source/tools/wireshark/kelvo.lua ]]; then
        # grep reads the whole listing: with -q it could leave dpkg-deb a broken pipe.
        dpkg-deb -c "$(deb kelvo-tools)" | grep '/wireshark/plugins/kelvo.lua$' >/dev/null ||
            fail "kelvo-tools lacks the Wireshark dissector"
    fi
    if ls "$work"/packages/kelvo-ui-qt_*.deb >/dev/null 2>&1; then
        check_contents "$(deb kelvo-ui-qt)" "lib/libkelvo_ui_qt.so" "lib/libkelvo\\."
        dpkg-deb -f "$(deb kelvo-ui-qt)" Depends | grep -q 'libqt6widgets6' ||
            fail "kelvo-ui-qt does not depend on Qt"
    fi
    # Dependencies from the libraries' real needs: the library not on Qt, the
    # others on the very same libkelvo1.
    depends=$(dpkg-deb -f "$(deb libkelvo1)" Depends)
    [[ $depends == *libssl3* && $depends == *libc6* && $depends != *qt* ]] ||
        fail "libkelvo1 Depends: $depends"
    for package in libkelvo-dev kelvo-tools; do
        dpkg-deb -f "$(deb $package)" Depends | grep -q 'libkelvo1 (= ' ||
            fail "$package does not depend on libkelvo1"
    done

    root=$work/root
    for file in "$work"/packages/*.deb; do dpkg -x "$file" "$root"; done
    dpkg-deb -e "$(deb libkelvo1)" "$work/control"
    DPKG_ROOT=$root KELVO_REGISTRY=$registry "$work/control/postinst" configure ||
        fail "postinst"
    prefix=$root/usr
else
    cmake --install "$build" --prefix "$work/x" >"$work/install.log" ||
        fail "install: $(cat "$work/install.log")"
    prefix=$work/x
    "$prefix/bin/kelvo" register --registry "$registry" >/dev/null || fail "kelvo register"
fi
pc=$(find "$prefix" -name kelvo.pc)
libdir=$(dirname "$(dirname "$pc")")

# SONAME, and the registered library is the real file, not a link.
readelf -d "$libdir/libkelvo.so.1" | grep -q 'SONAME.*\[libkelvo.so.1\]' || fail "no SONAME"
registered=$(grep -A1 -F '\InprocServer32]' "$registry/classes_root.reg" |
    sed -n 's/^@="\(.*\)"$/\1/p')
[[ $registered == *"$(readlink -f "$libdir/libkelvo.so.1")"* ]] ||
    fail "registered: $registered"
for file in $registered; do
    [[ -f $file && ! -L $file ]] || fail "$file is no file of its own"
done

# examples/ against the tree: pkg-config, then CMake.
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
read -ra flags <<<"$(pkg-config --cflags --libs kelvo)"
includedir=$(pkg-config --variable=includedir kelvo)
[[ $(readlink -f "$includedir") == $(readlink -f "$prefix/include") ]] ||
    fail "kelvo.pc does not lead to the tree: ${flags[*]}"
c++ -o "$work/host-pkg-config" "$source/examples/kelvo_host.cpp" "${flags[@]}" ||
    fail "build with pkg-config"
cmake -S "$source/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" &&
    cmake --build "$work/example" >>"$work/cmake.log" ||
    fail "build with CMake: $(cat "$work/cmake.log")"
readelf -d "$work/host-pkg-config" | grep -q 'NEEDED.*\[libkelvo.so.1\]' || fail "host NEEDED"

mkfifo "$work/sim.out"
"$prefix/bin/kelvo-sim" --addr "$address" --no-tls >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
exec 3<"$work/sim.out"
line=
while [[ $line != ready ]] && read -r -t 20 line <&3; do :; done
[[ $line == ready ]] || fail "kelvo-sim: $(cat "$work/sim.err")"
for host in "$work/host-pkg-config" "$work/example/kelvo-example-host"; do
    out=$(KELVO_REGISTRY=$registry LD_LIBRARY_PATH=$libdir "$host" "TCPIP:$address/17221,3000" \
        2>"$work/host.err") || fail "$host: $(cat "$work/host.err")"
    [[ $out == $'Kelvo simulated drive\ncan unload: yes' && ! -s $work/host.err ]] ||
        fail "$host: $out $(cat "$work/host.err")"
done

if [[ $mode == packages ]]; then
    # The tools tell what they are, and their completion knows their commands.
    [[ $("$prefix/bin/kelvo-trace" --version | head -1) == "kelvo-trace 1."* ]] || fail "--version"
    words=$(bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
        _kelvo_completion; echo "${COMPREPLY[*]}"' _ \
        "$prefix/share/bash-completion/completions/kelvo" kelvo -c x users l)
    [[ $words == list ]] || fail "completion of 'kelvo -c x users l': $words"
    # Removal unregisters; purge leaves no registry behind.
    DPKG_ROOT=$root KELVO_REGISTRY=$registry "$work/control/prerm" remove || fail "prerm"
    ! grep -q '^[@"]' "$registry"/*.reg || fail "values left after removal"
    DPKG_ROOT=$root KELVO_REGISTRY=$registry "$work/control/postrm" purge || fail "postrm"
    [[ ! -e $registry ]] || fail "registry left after purge"
fi
echo "ok: $mode"
