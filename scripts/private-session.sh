# A private PipeWire session for one run, sourced by scripts/run.sh: its own runtime
# directory, its own session bus, pipewire, wireplumber and pipewire-pulse, and one null
# output, "music", as the default sink. Nothing of the host's session is used (no
# /run/user, no host bus, no sound cards). Every process runs in a session of its own, so a
# Ctrl-C at the terminal does not reach it; session_stop ends them by their ids and removes
# the directory.

session_dir=
session_pids=()

session_fail() {
  echo "run.sh: the private session did not start: $1" >&2
  [[ -f $session_dir/session.log ]] && tail -n 20 "$session_dir/session.log" >&2
  exit 1
}

# Starts one program of the session in the background, its output in the session's log.
session_spawn() {
  env -i PATH="$PATH" HOME="$session_dir" XDG_RUNTIME_DIR="$session_dir" \
    XDG_CONFIG_HOME="$session_dir" LANG=C \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$session_dir/bus" \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$session_dir/no-system-bus" \
    PULSE_SERVER="unix:$session_dir/pulse/native" PULSE_CLIENTCONFIG="$session_dir/client.conf" \
    setsid "$@" >>"$session_dir/session.log" 2>&1 </dev/null &
  session_pids+=($!)
}

# Waits (up to 10 s) until the command succeeds.
session_wait() {
  local what=$1 tries
  shift
  for ((tries = 0; tries < 100; tries++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  session_fail "$what"
}

session_pactl() {
  env -i PATH="$PATH" HOME="$session_dir" XDG_RUNTIME_DIR="$session_dir" LANG=C \
    PULSE_SERVER="unix:$session_dir/pulse/native" PULSE_CLIENTCONFIG="$session_dir/client.conf" \
    timeout 10 pactl "$@"
}

# The command prefix that runs a client of the session (the helper), pointed at the session's
# servers: "${session_client[@]}" program args. It is env, which becomes the program: a
# program started with & has $! as its own process id.
session_client=()

session_default_is_music() { session_pactl info | grep -q '^Default Sink: music$'; }
# The player is connected and the null output is running: the music flows.
session_playing() {
  [[ -n $(session_pactl list short sink-inputs) ]] &&
    session_pactl list short sinks | grep -q $'^[0-9]*\tmusic\t.*RUNNING'
}

session_start() {
  session_dir=$(mktemp -d /tmp/vmah-run-XXXXXX)
  session_client=(env PULSE_SERVER="unix:$session_dir/pulse/native"
    PULSE_CLIENTCONFIG="$session_dir/client.conf" PIPEWIRE_RUNTIME_DIR="$session_dir"
    XDG_RUNTIME_DIR="$session_dir")
  printf 'autospawn = no\ncookie-file = %s/client-cookie\n' "$session_dir" \
    >"$session_dir/client.conf"
  # wireplumber would otherwise take the host's sound cards, cameras and Bluetooth devices.
  mkdir -p "$session_dir/wireplumber/main.lua.d" "$session_dir/wireplumber/bluetooth.lua.d"
  printf '%s\n' 'alsa_monitor.enabled = false' 'v4l2_monitor.enabled = false' \
    'libcamera_monitor.enabled = false' \
    >"$session_dir/wireplumber/main.lua.d/60-private-devices-off.lua"
  echo 'bluez_monitor.enabled = false' \
    >"$session_dir/wireplumber/bluetooth.lua.d/60-private-devices-off.lua"

  session_spawn dbus-daemon --session --address="unix:path=$session_dir/bus" --nofork --nopidfile
  session_wait "dbus-daemon" test -S "$session_dir/bus"
  session_spawn pipewire
  session_wait "pipewire" test -S "$session_dir/pipewire-0"
  session_spawn wireplumber
  session_spawn pipewire-pulse
  session_wait "pipewire-pulse" session_pactl info
  # The stock "Dummy Output" is replaced by the null output. pipewire-pulse accepts
  # connections before all of its modules are in place, hence the retries.
  session_wait "unloading module-always-sink" session_pactl unload-module module-always-sink
  session_wait "loading the null output" session_pactl load-module module-null-sink \
    sink_name=music rate=48000 channels=2
  session_wait "making the null output the default" \
    eval 'session_pactl set-default-sink music && session_default_is_music'
}

# Plays a four-bar loop (an arpeggio over a bass line, 48 000 Hz stereo) into the null output
# until the session stops, and returns once the server has the player. The loop is made
# before the player connects: a running stream then means music, not a player still waiting
# for its first sound on a busy machine.
session_play_music() {
  session_spawn sh -c 'perl -e "$1" >"$2" && while cat "$2"; do :; done |
    pacat --playback --raw --format=s16le --rate=48000 --channels=2 --device=music \
    --client-name=run.sh-music' music '
    use strict;
    my $rate = 48000;
    my @chords = ([45, 60, 64, 67, 72], [41, 60, 65, 69, 72], [43, 59, 62, 67, 71],
                  [40, 59, 64, 67, 71]);
    my $step = $rate / 8;
    my @mix = (0) x ($rate * 4);
    for my $bar (0 .. 3) {
      my ($bass, @notes) = @{$chords[$bar]};
      for my $n (0 .. 7) {
        my $f = 440 * 2 ** (($notes[$n % 4] - 69) / 12);
        my $start = $bar * $rate + $n * $step;
        $mix[$start + $_] += 0.25 * exp(-$_ / 9000) * sin(6.2832 * $f * $_ / $rate)
          for 0 .. $step - 1;
      }
      my $g = 440 * 2 ** (($bass - 69) / 12);
      $mix[$bar * $rate + $_] += 0.2 * exp(-$_ / 30000) * sin(6.2832 * $g * $_ / $rate)
        for 0 .. $rate - 1;
    }
    print pack("s<*", map { my $v = int($_ * 32767); ($v, $v) } @mix);
  ' "$session_dir/music.raw"
  session_wait "playing the music" session_playing
}

# Ends every process of the session, newest first (SIGTERM, then SIGKILL after 3 s), and
# removes its directory.
session_stop() {
  local i pid tries
  for ((i = ${#session_pids[@]} - 1; i >= 0; i--)); do
    pid=${session_pids[i]}
    # The player is a process group of its own: sh, perl and pacat.
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || continue
    for ((tries = 0; tries < 30; tries++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    # The rest of its group (the player's perl and pacat) goes too.
    for ((tries = 0; tries < 30; tries++)); do
      kill -0 -- "-$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
  session_pids=()
  [[ -n $session_dir ]] && rm -rf "$session_dir"
  session_dir=
}
