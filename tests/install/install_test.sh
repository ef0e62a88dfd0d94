#!/bin/sh
# Installs Velmora into a staging folder and checks what a desktop, AppStream,
# man and dpkg will see; then checks the launcher and the package scripts.
#   install_test.sh <build-dir> <source-dir>
set -u
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
passed=0
failed=0

ok() { passed=$((passed + 1)); }
bad() {
    failed=$((failed + 1))
    echo "FAIL: $*" >&2
}
# expect <description> <command...>: the command must succeed.
expect() {
    what=$1
    shift
    if "$@"; then ok; else bad "$what"; fi
}
contains() { grep -qF -- "$2" "$1"; }
# PNG width and height as "W x H", from the file's header.
png_size() { file -b "$1" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1 x \2/p'; }

# --- staged install ---------------------------------------------------------
if ! DESTDIR=$stage cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
ok

# Exactly these files: a stray install() elsewhere would end up in the package.
(cd "$stage" && find . -type f | sort) >"$work/files"
cat >"$work/expected" <<'EOF'
./usr/bin/velmora
./usr/bin/velmora-replay
./usr/libexec/velmora/velmora-launch
./usr/share/applications/velmora.desktop
./usr/share/bash-completion/completions/velmora-replay
./usr/share/doc/velmora/changelog.gz
./usr/share/doc/velmora/copyright
./usr/share/icons/hicolor/128x128/apps/velmora.png
./usr/share/icons/hicolor/16x16/apps/velmora.png
./usr/share/icons/hicolor/256x256/apps/velmora.png
./usr/share/icons/hicolor/32x32/apps/velmora.png
./usr/share/icons/hicolor/48x48/apps/velmora.png
./usr/share/icons/hicolor/64x64/apps/velmora.png
./usr/share/icons/hicolor/scalable/apps/velmora.svg
./usr/share/man/man1/velmora-replay.1.gz
./usr/share/man/man1/velmora.1.gz
./usr/share/metainfo/velmora.metainfo.xml
EOF
expect "installed file list differs: $(diff "$work/expected" "$work/files" | tr '\n' ' ')" \
    cmp -s "$work/expected" "$work/files"
expect "velmora is not executable" test -x "$stage/usr/bin/velmora"
expect "velmora-replay is not executable" test -x "$stage/usr/bin/velmora-replay"
expect "velmora-launch is not executable" test -x "$stage/usr/libexec/velmora/velmora-launch"

# --- desktop entry ----------------------------------------------------------
desktop=$stage/usr/share/applications/velmora.desktop
# Hints pass: Network and Utility are both main categories, on purpose.
if desktop-file-validate "$desktop" >"$work/dfv" 2>&1 && ! grep -qE 'error|warning' "$work/dfv"; then
    ok
else
    cat "$work/dfv" >&2
    bad "desktop-file-validate"
fi
expect "Exec is not the installed launcher" \
    contains "$desktop" "Exec=/usr/libexec/velmora/velmora-launch"
expect "desktop entry: Icon" contains "$desktop" "Icon=velmora"
expect "desktop entry: Categories" contains "$desktop" "Categories=Network;Utility;"
expect "desktop entry: Name" contains "$desktop" "Name=Velmora"

# --- AppStream metainfo -----------------------------------------------------
meta=$stage/usr/share/metainfo/velmora.metainfo.xml
if appstreamcli validate --no-net "$meta" >"$work/asv" 2>&1; then
    ok
else
    cat "$work/asv" >&2
    bad "appstreamcli validate"
fi
expect "metainfo: launchable is not the installed desktop entry" \
    contains "$meta" '<launchable type="desktop-id">velmora.desktop</launchable>'
# The screenshot published on the site is the committed one: same size.
shot=$src/res/screenshots/main-window.png
size=$(png_size "$shot")
w=${size% x *}
h=${size#* x }
expect "metainfo: screenshot size is not that of $shot ($size)" \
    contains "$meta" "width=\"$w\" height=\"$h\""

# --- icons ------------------------------------------------------------------
for s in 16 32 48 64 128 256; do
    icon=$stage/usr/share/icons/hicolor/${s}x${s}/apps/velmora.png
    expect "icon ${s}x${s}: got '$(png_size "$icon")'" test "$(png_size "$icon")" = "$s x $s"
done
svg=$stage/usr/share/icons/hicolor/scalable/apps/velmora.svg
expect "scalable icon is no SVG" contains "$svg" "<svg"

# --- manual page ------------------------------------------------------------
man1=$stage/usr/share/man/man1/velmora.1.gz
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man1" >/dev/null 2>"$work/manerr"
if [ -s "$work/manerr" ]; then
    cat "$work/manerr" >&2
    bad "man page renders with warnings"
else
    ok
fi
# One line: a phrase may wrap anywhere.
LC_ALL=C.UTF-8 MANWIDTH=200 MANPAGER=cat man -l "$man1" 2>&1 | tr -s " \n" "  " >"$work/man.txt"
for text in settings.ini log.txt Debuglog.txt "current folder" ".local/share/velmora" \
    XDG_DATA_HOME CAP_NET_RAW cap_net_raw=eip "usermod -aG velmora" \
    "does not grant reading the network's other traffic" "hearing the BACnet frames" \
    "Err #849. pcap_open()" "www.tarnsoftware.example/forums/about422.html" \
    support@tarnsoftware.example; do
    expect "man page lacks '$text'" contains "$work/man.txt" "$text"
done

# --- the command's manual page and completion -------------------------------
man2=$stage/usr/share/man/man1/velmora-replay.1.gz
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man2" >/dev/null 2>"$work/manerr2"
expect "velmora-replay man page renders with warnings: $(cat "$work/manerr2")" test ! -s "$work/manerr2"
LC_ALL=C.UTF-8 MANWIDTH=200 MANPAGER=cat man -l "$man2" 2>&1 | tr -s " \n" "  " >"$work/man2.txt"
for text in --adapter --all --offset --records --list-adapters --decode --debug --no-debug \
    --version "Replay stopped by the user after N packets" 130 143 cap_net_raw=eip; do
    expect "velmora-replay man page lacks '$text'" contains "$work/man2.txt" "$text"
done
# Completion: the options, and the adapter names that --list-adapters gives.
comp=$stage/usr/share/bash-completion/completions/velmora-replay
fake=$work/fakecmd
printf '#!/bin/sh\nprintf "vm0\\tentry vm0\\nvm1\\tentry vm1\\n"\n' >"$fake"
chmod +x "$fake"
complete_words() {
    bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _velmora_replay;
        printf "%s\n" "${COMPREPLY[@]}"' _ "$comp" "$@" | sort | tr '\n' ' '
}
expect "completion of -i: $(complete_words "$fake" -i '')" \
    test "$(complete_words "$fake" -i '')" = "vm0 vm1 "
expect "completion of --adapter v: $(complete_words "$fake" --adapter vm1)" \
    test "$(complete_words "$fake" --adapter vm1)" = "vm1 "
expect "completion of --rec: $(complete_words "$fake" --rec)" \
    test "$(complete_words "$fake" --rec)" = "--records "
expect "completion of --de: $(complete_words "$fake" --de)" \
    test "$(complete_words "$fake" --de)" = "--debug --decode --device "

# --- launcher ---------------------------------------------------------------
# A stand-in for velmora records where it was started and with what.
cat >"$stage/usr/bin/velmora" <<'EOF'
#!/bin/sh
pwd >"$VELMORA_TEST_OUT"
echo "$#:$*" >>"$VELMORA_TEST_OUT"
EOF
chmod +x "$stage/usr/bin/velmora"
launch=$stage/usr/libexec/velmora/velmora-launch
out=$work/launch.out

# XDG_DATA_HOME given and its folder missing: created, private, used.
rm -f "$out"
(cd / && env -i PATH="$PATH" HOME="$work/home" XDG_DATA_HOME="$work/xdg data" \
    VELMORA_TEST_OUT="$out" "$launch" a "b c")
expect "launcher: not started in \$XDG_DATA_HOME/velmora" \
    test "$(sed -n 1p "$out" 2>/dev/null)" = "$work/xdg data/velmora"
expect "launcher: arguments not passed on" test "$(sed -n 2p "$out" 2>/dev/null)" = "2:a b c"
expect "launcher: data folder is not private" \
    test "$(stat -c %a "$work/xdg data/velmora")" = 700

# XDG_DATA_HOME unset, or relative (the XDG rules say ignore it): ~/.local/share.
for xdg in unset "" relative/path; do
    rm -rf "$out" "$work/home"
    if [ "$xdg" = unset ]; then
        (cd / && env -i PATH="$PATH" HOME="$work/home" VELMORA_TEST_OUT="$out" "$launch")
    else
        (cd / && env -i PATH="$PATH" HOME="$work/home" XDG_DATA_HOME="$xdg" \
            VELMORA_TEST_OUT="$out" "$launch")
    fi
    expect "launcher (XDG_DATA_HOME $xdg): not started in ~/.local/share/velmora" \
        test "$(sed -n 1p "$out" 2>/dev/null)" = "$work/home/.local/share/velmora"
done

# An existing folder and what it holds are left alone.
echo "[Velmora]" >"$work/home/.local/share/velmora/settings.ini"
chmod 750 "$work/home/.local/share/velmora"
(cd / && env -i PATH="$PATH" HOME="$work/home" VELMORA_TEST_OUT="$out" "$launch")
expect "launcher: settings.ini touched" \
    test "$(cat "$work/home/.local/share/velmora/settings.ini")" = "[Velmora]"
expect "launcher: mode of an existing folder changed" \
    test "$(stat -c %a "$work/home/.local/share/velmora")" = 750

# Nowhere to go: no start, an error.
rm -f "$out"
if (cd / && env -i PATH="$PATH" VELMORA_TEST_OUT="$out" "$launch") 2>"$work/err"; then
    bad "launcher without HOME succeeded"
else
    ok
fi
expect "launcher without HOME started velmora" test ! -e "$out"
expect "launcher without HOME said nothing" contains "$work/err" "HOME is not set"

# --- postinst ---------------------------------------------------------------
# The system commands are stand-ins that log their arguments; getent knows
# the group when "$work/group" exists, setcap fails when "$work/nocap" does.
bin=$work/bin
mkdir -p "$bin"
for cmd in groupadd chown chmod setcap dpkg-statoverride getent; do
    cat >"$bin/$cmd" <<EOF
#!/bin/sh
echo "$cmd \$*" >>"$work/calls"
case $cmd in
getent) [ -e "$work/group" ] ;;
setcap) [ ! -e "$work/nocap" ] ;;
dpkg-statoverride) [ -e "$work/override" ] ;;
esac
EOF
    chmod +x "$bin/$cmd"
done
postinst=$src/res/deb/postinst
run_postinst() {
    rm -f "$work/calls"
    : >"$work/calls"
    PATH="$bin:$PATH" sh "$postinst" "$@" >"$work/postinst.out" 2>&1
}

expect "postinst configure failed" run_postinst configure
cat >"$work/want" <<'EOF'
getent group velmora
groupadd --system velmora
dpkg-statoverride --list /usr/bin/velmora
chown root:velmora /usr/bin/velmora
chmod 0750 /usr/bin/velmora
setcap cap_net_raw=eip /usr/bin/velmora
dpkg-statoverride --list /usr/bin/velmora-replay
chown root:velmora /usr/bin/velmora-replay
chmod 0750 /usr/bin/velmora-replay
setcap cap_net_raw=eip /usr/bin/velmora-replay
EOF
expect "postinst (new group): $(tr '\n' ';' <"$work/calls")" cmp -s "$work/want" "$work/calls"

touch "$work/group" "$work/override"
expect "postinst configure failed" run_postinst configure
expect "postinst: group created again or override ignored: $(tr '\n' ';' <"$work/calls")" \
    test "$(grep -c -e groupadd -e chown -e chmod "$work/calls")" = 0
expect "postinst: setcap skipped with an override" contains "$work/calls" "setcap "

rm -f "$work/override"
touch "$work/nocap"
expect "postinst must not fail the install when setcap fails" run_postinst configure
expect "postinst: setcap failure not reported" contains "$work/postinst.out" "only root"

expect "postinst abort-upgrade failed" run_postinst abort-upgrade 1.0.0
expect "postinst abort-upgrade changed something" test ! -s "$work/calls"

# --- package ----------------------------------------------------------------
if cpack -G DEB -B "$work/pkg" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
    ok
    deb=$(ls "$work"/pkg/velmora_*.deb)
    dpkg-deb -f "$deb" Depends >"$work/depends"
    for dep in libcap2-bin passwd libpcap0.8 libqt6widgets6; do
        expect "package does not depend on $dep: $(cat "$work/depends")" contains "$work/depends" "$dep"
    done
    dpkg-deb -e "$deb" "$work/control"
    expect "package has no postinst" cmp -s "$postinst" "$work/control/postinst"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/debfiles"
    expect "package files differ: $(diff "$work/expected" "$work/debfiles" | tr '\n' ' ')" \
        cmp -s "$work/expected" "$work/debfiles"
    dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/velmora.desktop >"$work/deb.desktop"
    expect "package desktop entry: Exec" contains "$work/deb.desktop" \
        "Exec=/usr/libexec/velmora/velmora-launch"
else
    cat "$work/cpack.log" >&2
    bad "cpack -G DEB"
fi

echo "install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
