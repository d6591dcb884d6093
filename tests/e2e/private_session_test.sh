#!/usr/bin/env bash
# The private session scripts/run.sh falls back to where no sound server answers: the helper
# records its generated music (not silence) for the time asked, and once the session is
# stopped none of its processes is left and its directory is gone.
#   private_session_test.sh <helper binary> <scripts/private-session.sh>
set -euo pipefail
helper=$1
source "$2"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d)
trap 'session_stop; rm -rf "$work"' EXIT
session_start
session_play_music
dir=$session_dir

line=$("${session_client[@]}" "$helper" --out "$work/music.opus" --secs 2)
[[ $line =~ ^OK\ ([0-9.]+)$ ]] || fail "status line: $line"
perl -e 'exit !($ARGV[0] >= 1.5 && $ARGV[0] <= 2.5)' -- "${BASH_REMATCH[1]}" ||
  fail "recorded ${BASH_REMATCH[1]} s of a 2 s run"

# The recording carries the music: RMS above -30 dBFS over all, and above -40 dBFS in at least
# half of its blocks of 100 ms (its start may come before the server delivers, and on a loaded
# machine the server's late deliveries become silence). The levels go to standard error.
opusdec --quiet --rate 48000 "$work/music.opus" "$work/music.wav" 2>/dev/null ||
  fail "opusdec could not decode the recording"
level=$(perl -e '
  local $/; open my $f, "<:raw", $ARGV[0] or die; my $wav = <$f>;
  my $at = index($wav, "data") + 8; my @s = unpack("s<*", substr($wav, $at));
  my ($sum, $quiet, $blocks) = (0, 0, 0);
  for (my $i = 0; $i + 9600 <= @s; $i += 9600) {
    my $block = 0; $block += $_ * $_ for @s[$i .. $i + 9599];
    $sum += $block; $blocks++;
    my $db = 10 * log($block / 9600 / 32768**2 + 1e-12) / log(10);
    $quiet++ if $db < -40;
    printf STDERR "%.0f ", $db;
  }
  print STDERR "\n";
  printf "%d %d %.1f\n", $blocks, $quiet, 10 * log($sum / ($blocks * 9600) / 32768**2 + 1e-12) / log(10);
' "$work/music.wav")
read -r blocks quiet overall <<<"$level"
((blocks >= 15)) || fail "only $blocks blocks of 100 ms decoded"
((quiet * 2 <= blocks)) || fail "$quiet of $blocks blocks of 100 ms are below -40 dBFS"
perl -e 'exit !($ARGV[0] > -30)' -- "$overall" || fail "the recording's level is $overall dBFS"

pids=("${session_pids[@]}")
((${#pids[@]} == 5)) || fail "the session started ${#pids[@]} processes, not 5"
session_stop
for pid in "${pids[@]}"; do
  # Each process led a process group of its own: the player's pacat and perl are in one.
  ! kill -0 -- "-$pid" 2>/dev/null || fail "processes of group $pid are left: $(pgrep -g "$pid")"
done
[[ ! -e $dir ]] || fail "the session's directory $dir is still there"
echo "recorded $overall dBFS in $blocks blocks of 100 ms; nothing left behind"
