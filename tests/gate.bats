#!/usr/bin/env bats
# The gate's own logic: how scripts/common, in-fresh-root, debian-qa and
# .ci/run judge a tool that failed, stop at a limit or are interrupted. The
# tools are stand-ins first on PATH, in a copy of the scripts: no network,
# no root, no user namespace, and no pause between tries.

setup() {
  tree=$BATS_TEST_TMPDIR/tree bin=$BATS_TEST_TMPDIR/bin log=$BATS_TEST_TMPDIR/log
  mkdir -p "$tree/.ci" "$bin"
  cp -r "$BATS_TEST_DIRNAME/../scripts" "$BATS_TEST_DIRNAME/../.gitignore" "$tree/"
  cp "$BATS_TEST_DIRNAME/../.ci/run" "$tree/.ci/"
  stand_in ensure-packages 'exit 0' "$tree/scripts"
  stand_in ensure-subids 'exit 0' "$tree/scripts"
  export PATH=$bin:$PATH ARCHIVE_PAUSES="0 0" GATE_GRACE=3
}

teardown() {
  kill ${servers-} 2>/dev/null || true
  wait ${servers-} 2>/dev/null || true
}

# stand_in NAME BODY [DIR]: a command NAME that runs the shell code BODY,
# with `run` the number of this run; runs NAME says how many there were.
stand_in() {
  printf '#!/bin/bash\necho x >>"%s"\nrun=$(wc -l <"%s")\n%s\n' \
    "$BATS_TEST_TMPDIR/$1.runs" "$BATS_TEST_TMPDIR/$1.runs" "$2" >"${3:-$bin}/$1"
  chmod +x "${3:-$bin}/$1"
}
runs() { cat "$BATS_TEST_TMPDIR/$1.runs" 2>/dev/null | wc -l; }
# common COMMAND...: COMMAND in a shell that has sourced scripts/common.
common() { bash -c '. "$0/scripts/common" && "$@"' "$tree" "$@"; }
# within SECONDS COMMAND...: whether COMMAND succeeds within SECONDS.
within() {
  local tick
  for ((tick = 0; tick < $1 * 10; tick++)); do
    "${@:2}" && return 0
    sleep 0.1
  done
  return 1
}
# gone PID: whether the process has ended. In a fresh root nothing reaps an
# orphan, which stays a zombie (state Z).
gone() {
  local state
  read -r _ _ state _ 2>/dev/null <"/proc/$1/stat" || return 0
  [ "$state" = Z ]
}

fault='echo "E: Failed to fetch http://a/debian/dists/s/main/binary-$arch/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"'
warning='echo "W: Failed to fetch http://a/debian/dists/s/main/binary-$arch/Packages.xz  Could not connect to a"'

@test "guarded: a failure is judged by its stage and status, apt's words count only in set-up" {
  # What the tool does on each run | its judge | guarded's status | how many
  # runs | what guarded says last.
  while IFS='|' read -r body judge want count says; do
    rm -f "$BATS_TEST_TMPDIR/tool.runs"
    stand_in tool "arch=amd64; $body"
    passes_too=2 run common guarded 10 "$log" "$judge" tool
    [ "$status" -eq "$want" ] && [ "$(runs tool)" -eq "$count" ] && [[ $output == *"$says"* ]] || {
      printf 'for %s: %s, %s runs:\n%s\n' "$body" "$status" "$(runs tool)" "$output"
      false
    }
  done <<CASES
$fault; $warning; echo Fail-Stage: build; exit 1|sbuild_set_up|1|1|tool: failed, with status 1
arch=i386; $warning; echo Fail-Stage: build; exit 1|sbuild_set_up|1|1|tool: failed, with status 1
[ \$run -eq 2 ] && exit 0; $fault; echo Fail-Stage: apt-get-update; exit 1|sbuild_set_up|0|2|
$fault; echo Fail-Stage: install-deps; exit 1|sbuild_set_up|75|3|File has unexpected size (1 != 2). Mirror sync in progress?
$warning; echo 'E: Unable to correct problems'; echo Fail-Stage: install-deps; exit 1|sbuild_set_up|69|1|apt failed to fetch nothing
$fault; exit 4|autopkgtest_set_up|4|1|tool: failed, with status 4
$fault; exit 16|autopkgtest_set_up|75|3|Mirror sync in progress?
$fault; exit 2|autopkgtest_set_up|2|1|
$fault; exit 124|ours|124|1|tool: failed, with status 124
kill -KILL \$\$|ours|137|1|tool: failed, with signal KILL
exit 1|ours|1|1|  | (it wrote nothing)
CASES
}

@test "a cross-build is not run only for a lasting fault on its own indices" {
  # What apt said in the last try | guarded's status | whether that keeps
  # i386's cross-build from running (0) or fails it (1).
  while IFS='|' read -r said status_of_guarded verdict; do
    printf '%b\n' "$said" >"$log"
    run common not_run_for i386 "$status_of_guarded" "$log"
    [ "$status" -eq "$verdict" ] || {
      echo "for: $said, $status_of_guarded"
      false
    }
  done <<'CASES'
E: Failed to fetch http://a/dists/s/main/binary-i386/Packages.xz  Hash Sum mismatch|75|0
E: Failed to fetch store:/var/lib/apt/lists/partial/a_dists_s_main_binary-i386_Packages.xz  Hash Sum mismatch|75|0
E: Failed to fetch http://a/dists/s/main/binary-i386/by-hash/SHA256/0f  Mirror sync\nW: Failed to fetch http://a/dists/s-updates/main/binary-i386/Packages.xz  Could not connect|75|0
W: Failed to fetch http://a/dists/s/main/binary-i386/Packages.xz  Could not connect\nFail-Stage: build|1|1
E: Failed to fetch http://a/dists/s/main/binary-i386/Packages.xz  Hash Sum mismatch\nW: Failed to fetch http://a/dists/s/main/binary-amd64/Packages.xz  Could not connect|75|1
E: Failed to fetch http://a/pool/main/g/gcc/gcc_1_i386.deb  Hash Sum mismatch|75|1
E: Unable to correct problems, you have held broken packages.|69|1
CASES
}

@test "past its limit a tool is stopped, with a KILL if it must, and not tried again" {
  run common guarded 1 "$log" ours sh -c 'echo started; exec sleep 60'
  [ "$status" -eq 124 ]
  [[ $output == *"| started"*"sh: stopped at its limit of 1 s" ]]
  GATE_GRACE=1 run common guarded 1 "$log" set_up sh -c 'trap "" TERM; echo "E: Failed to fetch x"; sleep 60'
  [ "$status" -eq 124 ]
  [[ $output == *"sh: stopped at its limit of 1 s" ]]
}

@test "a live view shows all that the tool wrote, however soon" {
  for _ in 1 2 3 4 5; do
    run bash -c '. "$0/scripts/common" && shows_live=1 && limited 10 "$1" seq 3' "$tree" "$log"
    [ "$output" = "$(printf '1\n2\n3')" ]
  done
}

# interrupt SIGNAL SCRIPT...: runs SCRIPT in a process group of its own, as a
# terminal runs a command, and sends SIGNAL to the group once its stand-in
# `sleeper` has started, as Ctrl-C does; `sleeper` is its process ID.
interrupt() {
  rm -f "$bin/sleeper.pid"
  # It takes a second to end, as a tool that cleans up does.
  stand_in sleeper 'trap "sleep 1; exit 143" TERM; echo $$ >"$0.pid"; while :; do sleep 0.1; done'
  # A background job ignores SIGINT; the terminal's foreground job does not.
  setsid env --default-signal=INT "${@:2}" >"$log" 2>&1 &
  local group=$!
  within 10 test -s "$bin/sleeper.pid"
  kill "-$1" -- "-$group"
  status=0
  wait "$group" || status=$?
  output=$(cat "$log")
  sleeper=$(cat "$bin/sleeper.pid")
}

@test "Ctrl-C or TERM stops what each script runs, and then the script" {
  interrupt INT bash -c '. "$0/scripts/common" && limited 60 "$0/log" bash -c ". \"\$0/scripts/common\" && limited 60 \"\$0/inner\" sleeper" "$0"' "$tree"
  [ "$status" -eq 130 ] && gone "$sleeper"
  [[ $output == *"interrupted; what it ran is stopped" ]]
  interrupt TERM bash -c '. "$0/scripts/common" && limited 60 "$0/log" sleeper' "$tree"
  [ "$status" -eq 143 ] && gone "$sleeper"
  stand_in in-fresh-root 'exec sleeper' "$tree/scripts"
  interrupt INT bash "$tree/.ci/run"
  [ "$status" -eq 130 ] && gone "$sleeper"
  [[ $output != *FAILED* ]]
  stand_in sudo 'exit 0'
  stand_in mmdebstrap 'exec sleeper'
  interrupt INT "$tree/scripts/debian-qa" 12
  [ "$status" -eq 130 ] && gone "$sleeper"
  [[ $output == *"base roots"* && $output != *FAILED* ]]
}

@test "TERM to a script that pauses between tries ends it at once" {
  stand_in tool "arch=amd64; $fault; exit 1"
  ARCHIVE_PAUSES="60 60" bash -c '. "$0/scripts/common" && guarded 10 "$1" set_up tool' \
    "$tree" "$log" >"$BATS_TEST_TMPDIR/out" 2>&1 &
  within 10 grep -q "trying again in 60 s" "$BATS_TEST_TMPDIR/out"
  kill -TERM $!
  within 5 gone $!
  status=0
  wait $! || status=$?
  [ "$status" -eq 143 ] && [ "$(runs tool)" -eq 1 ]
}

# A stand-in for mmdebstrap, following $MMDEBSTRAP_PLAN, one word a run:
# "fault" fails as apt does on a broken index, "mute" fails saying nothing,
# "warn" warns of an index apt could not fetch and makes the root all the
# same. Making the root runs the customize hooks that are shell commands,
# with chroot a stand-in that runs $IN_ROOT for the command, and copies out
# what the download hooks name.
fresh_root_stand_ins() {
  stand_in mmdebstrap '
    plan=($MMDEBSTRAP_PLAN)
    case ${plan[run - 1]} in
      fault) echo "E: Failed to fetch http://a/dists/s/main/binary-amd64/Packages.xz  Mirror sync in progress?"; exit 1 ;;
      mute) exit 1 ;;
      warn) echo "W: Failed to fetch http://a/dists/s/main/binary-i386/Packages.xz  Could not connect" ;;
    esac
    root=$(mktemp -d)
    mkdir "$root/run"
    for option; do
      case $option in
        --customize-hook=sync-in* | --customize-hook=upload*) ;;
        --customize-hook=download*)
          read -r _ from to <<<"${option#*=}"
          eval cp "$root$from" "$to" ;;
        --customize-hook=*) sh -c "${option#*=}" hook "$root" ;;
      esac
    done'
  stand_in chroot 'sh -c "$IN_ROOT"'
  export IN_ROOT='echo "the command ran"; exit 3'
}

@test "in-fresh-root: the command runs once, and its status is the script's; a root not made is the set-up's" {
  fresh_root_stand_ins
  # The plan | the status | runs of mmdebstrap and of the command | said last.
  while IFS='|' read -r plan want roots commands says; do
    rm -f "$BATS_TEST_TMPDIR"/*.runs
    MMDEBSTRAP_PLAN=$plan run "$tree/scripts/in-fresh-root" 12 true
    [ "$status" -eq "$want" ] && [ "$(runs mmdebstrap)" -eq "$roots" ] &&
      [ "$(runs chroot)" -eq "$commands" ] && [[ $output == *"$says"* ]] || {
      printf 'for %s: %s\n%s\n' "$plan" "$status" "$output"
      false
    }
  done <<'CASES'
warn|3|1|1|error: in a fresh Debian bookworm root, 'true' failed, with status 3
fault warn|3|2|1|error: in a fresh Debian bookworm root, 'true' failed, with status 3
fault fault fault|75|3|0|the fresh Debian bookworm root could not be made; 'true' did not run
mute|69|1|0|the fresh Debian bookworm root could not be made; 'true' did not run
CASES
  [[ $output == *"| (it wrote nothing)"* ]]
  # Nested: a fault healed inside, then a failure of ours, is ours, once.
  rm -f "$BATS_TEST_TMPDIR"/*.runs
  MMDEBSTRAP_PLAN="fault ok" run common guarded 60 "$log" ours "$tree/scripts/in-fresh-root" 12 true
  [ "$status" -eq 3 ] && [ "$(runs mmdebstrap)" -eq 2 ] && [ "$(runs chroot)" -eq 1 ]
  [ "$(grep -c '^the command ran$' "$log")" -eq 1 ]
  # Interrupted while the command runs.
  IN_ROOT='exec sleeper' interrupt INT "$tree/scripts/in-fresh-root" 12 true
  [ "$status" -eq 130 ] && gone "$sleeper"
}

@test "faulty-archive serves an architecture's files short, and refuses connections at first" {
  mkdir -p "$BATS_TEST_TMPDIR/archive/binary-i386" "$BATS_TEST_TMPDIR/archive/binary-amd64"
  head -c 4096 /dev/zero | tee "$BATS_TEST_TMPDIR"/archive/binary-{i386,amd64}/Packages >/dev/null
  free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
  port=$(free_port) proxy_port=$(free_port)
  python3 -m http.server --bind 127.0.0.1 --directory "$BATS_TEST_TMPDIR/archive" "$port" >/dev/null 2>&1 &
  servers=$!
  "$tree/scripts/faulty-archive" --port "$proxy_port" --down 1 --short i386 >"$log" 2>&1 &
  servers+=" $!"
  fetch() {
    python3 -c 'import sys, urllib.request as u
p = u.build_opener(u.ProxyHandler({"http": sys.argv[1]}))
print(len(p.open(sys.argv[2], timeout=10).read()))' "http://127.0.0.1:$proxy_port" "http://127.0.0.1:$port/$1/Packages"
  }
  run fetch binary-i386
  [[ $output == *"Connection refused"* ]]
  within 10 grep -q answering "$log"
  run fetch binary-i386
  [ "$output" = 3072 ]
  run fetch binary-amd64
  [ "$output" = 4096 ]
}
