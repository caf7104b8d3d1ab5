# Shared by scripts/test and scripts/demo: a private Wine prefix on a private X display.
# Source it, then call zt_env_start; zt_env_stop runs on exit.

zt_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
zt_xvfb_pids=()
zt_locks=()

# One run per prefix. A second run on the same folder deletes the prefix under the first and ends
# with `wineserver -k`, which ends every program of the first with status 1: its launch.exe leaves
# no report, its probe prints nothing. A lock left by a run that has ended is taken over.
zt_lock_prefix() {  # $1 = folder for the prefix
  local lock="$1.lock" owner
  mkdir -p "$(dirname "$1")"
  if ! mkdir "$lock" 2>/dev/null; then
    owner=$(cat "$lock/pid" 2>/dev/null)
    if [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null; then
      echo "the Wine prefix $1 is in use by process $owner ($(ps -o args= -p "$owner")): one run per prefix" >&2
      return 1
    fi
    rm -rf "$lock"
    mkdir "$lock" || return 1
  fi
  echo $$ >"$lock/pid"
  zt_locks+=("$1")
}

# A private X display: the first free number from 90; sets DISPLAY.
zt_display_start() {
  local n=90
  while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  zt_xvfb_pids+=($!)
  export DISPLAY=":$n"
  # Waited for, so that the next display started does not take the same number.
  for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
}

# A new prefix at $WINEPREFIX, booted on $DISPLAY.
zt_prefix_boot() {
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # The Wine daemons inherit the descriptors of whoever starts them: start them with none of ours.
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot -i </dev/null >/dev/null 2>&1
  # CJK glyphs: the dialogs ask for 宋体 (SimSun); map it to the installed WenQuanYi font.
  local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  for name in "宋体" "SimSun" "NSimSun" "新宋体" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma"; do
    wine reg add "$key" /v "$name" /t REG_SZ /d "WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1
  done
  wineserver -w </dev/null >/dev/null 2>&1 || true
  wineserver -p </dev/null >/dev/null 2>&1
  # Start the prefix's services now, with none of our descriptors: otherwise the first test program
  # starts them, they inherit CTest's output pipe and CTest waits for it until its time-out.
  wineboot </dev/null >/dev/null 2>&1
}

zt_wine_defaults() {
  export WINEDEBUG=-all WINEARCH=win64
  # Wine must not ask to install Mono or Gecko in a test prefix.
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

zt_env_start() {  # $1 = folder for the prefix
  zt_lock_prefix "$1" || return 1
  export WINEPREFIX="$1"
  zt_wine_defaults
  if [ -z "${DISPLAY:-}" ] || [ "${ZT_OWN_DISPLAY:-1}" = 1 ]; then zt_display_start; fi
  zt_prefix_boot
}

# Several prefixes, each on a display of its own: $2-1, $2-2, ... Writes $1/<n>.env (the
# WINEPREFIX and DISPLAY of slot n, read by scripts/wine-slot) and $1/resources.json (CTest's
# resource file: one "wine" slot per prefix). The prefixes are made in the background:
# the first boots, its server ends so that its registry is on disk, and the others are copies of
# it (a boot costs a quarter of a minute of both cores, a copy a second); then each prefix's server
# and services start. zt_env_wait_slots waits for that and leaves slot 1's in the environment.
zt_env_start_slots() {  # $1 = folder for the slot files, $2 = prefix folder stem, $3 = count
  local folder=$1 stem=$2 count=$3 i ids=""
  mkdir -p "$folder"
  zt_wine_defaults
  for i in $(seq "$count"); do
    zt_lock_prefix "$stem-$i" || return 1
    zt_display_start
    printf 'export WINEPREFIX=%q DISPLAY=%q\n' "$stem-$i" "$DISPLAY" >"$folder/$i.env"
    ids+="${ids:+,}{\"id\": \"$i\", \"slots\": 1}"
  done
  (
    set -e
    (. "$folder/1.env"; zt_prefix_boot; wineserver -k; wineserver -w) </dev/null >/dev/null 2>&1
    for i in $(seq 2 "$count"); do rm -rf "$stem-$i"; cp -a "$stem-1" "$stem-$i"; done
    for i in $(seq "$count"); do
      # shellcheck disable=SC1090
      (. "$folder/$i.env"; wineserver -p; wineboot) </dev/null >/dev/null 2>&1
    done
  ) &
  zt_boot_pids=($!)
  printf '{"version": {"major": 1, "minor": 0}, "local": [{"wine": [%s]}]}\n' "$ids" >"$folder/resources.json"
  export ZT_WINE_SLOTS="$folder"
}

zt_env_wait_slots() {
  local pid failed=0
  for pid in "${zt_boot_pids[@]}"; do wait "$pid" || failed=1; done
  zt_boot_pids=()
  # shellcheck disable=SC1091
  . "$ZT_WINE_SLOTS/1.env"
  return $failed
}

# Keeps the desktop of each Wine prefix of this run up (the probe's keep-desktop): Wine ends a
# prefix's desktop process a second after its last window goes, between one scenario and the next,
# and a program started just then may end at once with status 1 and no output. Returns once every
# keeper has its window, so the desktop is up: a program started while a desktop itself starts may
# hang at its end, or end at once (a keeper too: one that ends without its window starts again).
# $1 = probe.exe.
zt_keep_desktops() {
  local probe=$1 envs=() said n tries
  if [ -n "${ZT_WINE_SLOTS:-}" ] && [ -f "$ZT_WINE_SLOTS/resources.json" ]; then
    envs=("$ZT_WINE_SLOTS"/*.env)
  else
    envs=("")
  fi
  said=$(mktemp -d)
  zt_keeper_start() {  # $1 = slot file (empty: this environment), $2 = output file
    # shellcheck disable=SC1090
    ([ -z "$1" ] || . "$1"; wine "$probe" keep-desktop </dev/null >"$2" 2>/dev/null & echo $! >"$2.pid")
  }
  n=0
  for i in "${envs[@]}"; do n=$((n + 1)); zt_keeper_start "$i" "$said/$n"; done
  n=0
  for i in "${envs[@]}"; do
    n=$((n + 1))
    tries=1
    for _ in $(seq 300); do
      grep -q keeping "$said/$n" 2>/dev/null && break
      if ! kill -0 "$(cat "$said/$n.pid")" 2>/dev/null && [ $tries -lt 3 ]; then
        tries=$((tries + 1))
        zt_keeper_start "$i" "$said/$n"
      fi
      sleep 0.1
    done
    grep -q keeping "$said/$n" 2>/dev/null || echo "the desktop keeper of ${i:-this prefix} did not start" >&2
  done
  rm -rf "$said"
}

# The key pairs the test builds trust, made once per checkout under build/: the tool under test is
# built with both public halves (as while the signing key is rotated), the scenarios and the demo
# sign what they serve with the first private half, one scenario with the second. Prints the CMake
# arguments that say so.
zt_test_key_args() {
  local dir="$zt_root/build/testkey" second="$zt_root/build/testkey2"
  [ -f "$dir/private.pem" ] || python3 "$zt_root/scripts/keygen" "$dir" >/dev/null || return 1
  [ -f "$second/private.pem" ] || python3 "$zt_root/scripts/keygen" "$second" >/dev/null || return 1
  echo "-DZT_UPDATE_PUBLIC_KEY=$dir/public.pem;$second/public.pem -DZT_TEST_SIGNING_KEY=$dir/private.pem" \
       "-DZT_TEST_SECOND_SIGNING_KEY=$second/private.pem"
}

zt_env_stop() {
  # Only what this run started: a run refused at a lock leaves the other run's servers alone.
  local p pid
  for p in "${zt_locks[@]}"; do WINEPREFIX="$p" wineserver -k </dev/null >/dev/null 2>&1 || true; done
  for pid in "${zt_xvfb_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  for p in "${zt_locks[@]}"; do rm -rf "$p.lock"; done
  zt_locks=()
  zt_xvfb_pids=()
}
