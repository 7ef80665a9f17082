#!/usr/bin/env bash
# The Debian packages as a user gets them: lintian reports no error and no warning, each
# holds what it should, and, unpacked with dpkg -x into a scratch root, everything works
# from there: the versions, vtl against the simulator, the manual pages, the completion,
# and the launcher run headless against the simulator's pty until a Read completes.
#   debs_test.sh RELEASE-DIR WIN-BUILD-DIR
# ctest's environment names a Wine prefix template (VTL_WINE_TEMPLATE), which the
# launcher's new prefix is copied from. The launcher's output is kept in
# WIN-BUILD-DIR/debs-test-launcher.log.
set -u
source "$(dirname "$0")/check.sh"
release=$1 win_build=$2
version=$(cat "$win_build/version/vtl_version.txt")
tools=$release/vantrel-tools_${version}_amd64.deb
configurator=$release/vantrel-configurator_${version}_amd64.deb
scratch=$(mktemp -d /tmp/vtl-debs.XXXXXX)
root=$scratch/root
pids=()
finish() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap finish EXIT

# no_output COMMAND...: fails, showing it, when COMMAND says anything at all.
no_output() {
  local out
  out=$("$@" 2>&1)
  [ -z "$out" ] || { echo "$out"; return 1; }
}

# start_simulator LOG OPTIONS...: the packaged simulator on a pty of its own; sets pty.
start_simulator() {
  local log=$1; shift
  "$root/usr/bin/vtl-unit-sim" "$@" >"$log" 2>&1 &
  pids+=($!)
  local _
  for _ in $(seq 100); do [ -s "$log" ] && break; sleep 0.02; done
  pty=$(head -1 "$log")
}

check "lintian: no error, no warning" 0 '' -- lintian --fail-on error,warning "$tools" "$configurator"

# What each package holds, with its mode: programs executable, the Windows program and
# the shell library it is run with not.
dpkg -c "$tools" >"$scratch/tools.list"
dpkg -c "$configurator" >"$scratch/configurator.list"
while read -r list mode path; do
  check "$list holds $path" 0 "^$mode root/root .* \./$path( ->|$)" -- cat "$scratch/$list.list"
done <<'EOF'
tools -rwxr-xr-x usr/bin/vtl
tools -rwxr-xr-x usr/bin/vtl-unit-sim
tools -rw-r--r-- usr/share/man/man1/vtl.1.gz
tools -rw-r--r-- usr/share/man/man1/vtl-unit-sim.1.gz
tools -rw-r--r-- usr/share/bash-completion/completions/vtl
tools lrwxrwxrwx usr/share/bash-completion/completions/vtl-unit-sim
tools -rw-r--r-- usr/share/doc/vantrel-tools/copyright
tools -rw-r--r-- usr/share/doc/vantrel-tools/changelog.Debian.gz
tools -rw-r--r-- usr/share/doc/vantrel-tools/README.Debian
tools -rw-r--r-- usr/share/doc/vantrel-tools/examples/70-vantrel-modemmanager-ignore.rules
configurator -rwxr-xr-x usr/bin/vantrel-configurator
configurator -rw-r--r-- usr/lib/vantrel-configurator/VTL_K4ZVL.exe
configurator -rw-r--r-- usr/lib/vantrel-configurator/VTL_K4ZVL.pdf
configurator -rw-r--r-- usr/lib/vantrel-configurator/configurator-run.sh
configurator -rw-r--r-- usr/lib/vantrel-configurator/wine-env.sh
configurator -rw-r--r-- usr/share/man/man1/vantrel-configurator.1.gz
configurator -rw-r--r-- usr/share/applications/vantrel-configurator.desktop
configurator -rw-r--r-- usr/share/icons/hicolor/16x16/apps/vantrel-configurator.png
configurator -rw-r--r-- usr/share/icons/hicolor/48x48/apps/vantrel-configurator.png
configurator -rw-r--r-- usr/share/icons/hicolor/128x128/apps/vantrel-configurator.png
configurator -rw-r--r-- usr/share/doc/vantrel-configurator/copyright
configurator -rw-r--r-- usr/share/doc/vantrel-configurator/changelog.Debian.gz
EOF
check "the udev rule is not installed active" 1 '' -- grep -E '\./(etc|lib|usr/lib)/udev/' "$scratch/tools.list"
check "the packaged tool is the shipped exe" 0 '' -- \
  bash -c 'dpkg --fsys-tarfile "$1" | tar -xO ./usr/lib/vantrel-configurator/VTL_K4ZVL.exe | cmp - "$2"' \
  _ "$configurator" "$win_build/ship/VTL_K4ZVL.exe"
check "vantrel-tools depends on what its programs link" 0 '^ Depends: .*libc6 .*libstdc\+\+6' -- dpkg -I "$tools"
check "vantrel-configurator depends on Debian 12's Wine" 0 '^ Depends: wine \(>= 8\.0~\), wine64 \(>= 8\.0~\)' -- \
  dpkg -I "$configurator"

dpkg -x "$tools" "$root"
dpkg -x "$configurator" "$root"
check "vtl --version" 0 "^vtl $version\$" -- "$root/usr/bin/vtl" --version
check "vtl-unit-sim --version" 0 "^vtl-unit-sim $version\$" -- "$root/usr/bin/vtl-unit-sim" --version
start_simulator "$scratch/sim.log" --controls-period 0 --poll-period 0
check "vtl reads the simulator" 0 'Read complete \(F/W v1\.3\)' -- "$root/usr/bin/vtl" --port "$pty" read
check "vtl sets a field on it" 0 'Verified' -- "$root/usr/bin/vtl" --port "$pty" set baud=9600 --verify

for page in vtl vtl-unit-sim vantrel-configurator; do
  check "man $page renders without warnings" 0 '' -- \
    no_output bash -c 'MANWIDTH=80 man --warnings -l "$1" >/dev/null' _ "$root/usr/share/man/man1/$page.1.gz"
done
# Every command, option and JSON key that a program's --help names is in its page, so
# a new one cannot go undocumented.
for program in vtl vtl-unit-sim; do
  page_text=$(MANWIDTH=1000 man -l "$root/usr/share/man/man1/$program.1.gz" 2>/dev/null)
  for word in $("$root/usr/bin/$program" --help |
                grep -oE -- '^  [a-z]+( |$)|--[a-z][a-z-]+|\b[a-z0-9]+_[a-z0-9_]+\b' | sort -u); do
    check "$program(1) names $word" 0 '' -- grep -qF -- "$word" <<<"$page_text"
  done
done

# complete_line LINE: what the packaged completion offers for LINE, the cursor at its
# end, with bash's own word breaks.
complete_line() {
  bash -c 'source "$1"; COMP_WORDBREAKS=$3 COMP_LINE=$2 COMP_POINT=${#2}
    $(complete -p "${2%% *}" | sed -E "s/.*-F ([^ ]+).*/\\1/"); echo "${COMPREPLY[*]}"' \
    _ "$root/usr/share/bash-completion/completions/${1%% *}" "$1" $' \t\n"\'><=;|&(:'
}
while IFS='|' read -r line offered; do
  check "completes '$line'" 0 "^$offered\$" -- complete_line "$line"
done <<'EOF'
vtl se|set
vtl --port /dev/nul|/dev/null
vtl --json set nr|nrz=
vtl set baud=96|9600
vtl set protocol=|32 64
vtl set use-avail=o|on off
vtl tx o|on off
vtl monitor --re|--respond
vtl-unit-sim --controls-w|--controls-width
vtl-unit-sim --controls-pattern r|random
EOF

# Every option a program's --help names is offered by the completion somewhere.
for program in vtl vtl-unit-sim; do
  offered=" "
  for command in "" read show write default set tx monitor tap ports test; do
    offered+="$(complete_line "$program $command --") "
    [ "$program" = vtl ] || break
  done
  # ("--option VALUE" in the simulator's help is how values are written, not an option.)
  for option in $("$root/usr/bin/$program" --help | grep -oE -- '--[a-z][a-z-]+' | grep -vx -- --option |
                  sort -u); do
    check "$program completion offers $option" 0 '' -- grep -qF -- " $option " <<<"$offered"
  done
done

check "the launcher checks the device first" 2 '/dev/no-such-tty does not exist' -- \
  env XDG_DATA_HOME="$scratch/data" "$root/usr/bin/vantrel-configurator" --device /dev/no-such-tty
check "the launcher wants a display" 2 'no display' -- \
  env -u DISPLAY XDG_DATA_HOME="$scratch/data" "$root/usr/bin/vantrel-configurator"
# Headless, the test driver works the tool in the launcher's Wine prefix: COM1 is the
# simulator's pty, a Read shows the unit's firmware, pictures land in the current folder.
start_simulator "$scratch/sim2.log"
mkdir -p "$scratch/work"
transcript=$win_build/debs-test-launcher.log
(cd "$scratch/work" && env -u DISPLAY XDG_DATA_HOME="$scratch/data" \
   VANTREL_CONFIGURATOR_DRIVER="$win_build/vtl-driver.exe" \
   "$root/usr/bin/vantrel-configurator" --device "$pty") >"$transcript" 2>&1
check "the launcher ran the tool to the end" 0 'exited with status 0' -- cat "$transcript"
check "a Read in the launcher's tool" 0 'Read complete \(F/W v1\.3\)' -- cat "$transcript"
check "the simulator answered it" 0 'tx .* read response' -- cat "$scratch/sim2.log"
check "pictures in the current folder" 0 '' -- test -s "$scratch/work/2-k4-config.png"
prefix=$scratch/data/vantrel-configurator/wine-prefix
check "the prefix under XDG_DATA_HOME" 0 '' -- test -f "$prefix/.vtl-ready"
echo "$failures failed"
[ "$failures" -eq 0 ]
