#pragma once

// What each recorder keeps of a sound, found with a 5 kHz tone (above all of the music)
// played by a second client of the server that knows when each of its frames is heard
// (bench/tone_player.h), and measured in the decoded file in 1 ms windows
// (tests/support/tone_meter.h). The music goes on playing underneath.
//   onset loss   a new stream plays a 1 s tone 2.5 s into a recording: 1000 ms less the
//                tone's length in the file. A sink renders ahead of what is heard; a new
//                stream makes it render that span again, which its monitor had already
//                sent, so what a recorder loses here is the server's fragment or more.
//   start lead   the tone has been heard for 0.7 s when the recorder starts, and goes on:
//                the time from the file's first sample to the tone's, i.e. the start of
//                the recording that holds nothing of a sound already playing. A recorder
//                that drops the time before its first data instead shows a short file in
//                recorded/wall, not a lead.
//   stop tail    the tone starts in a stream that is already playing (so its onset loses
//                nothing) at a frame whose heard time is known, and SIGINT comes 1 s of
//                heard tone later while it goes on. The tone's length in the file from its
//                onset to its recorded end, against the time from its onset being heard to
//                the signal: what falls short is the audio heard before SIGINT that the
//                file lacks (negative: the file holds audio rendered after the signal).
//                Of the last 100 ms before SIGINT, 100 less that is kept.
//   switch gap   the tone plays on the default output throughout, in a stream that follows
//                the default; a second sink is there, and the default output is switched
//                between the two a few times while the recorder records the default: the
//                tone missing around each switch, and the time the file dropped beyond what
//                it drops without switches, in ms per switch. On PipeWire the session manager
//                moves the tone with the default; on PulseAudio the benchmark moves it, as a
//                desktop does. A recorder that stays where it began is reported as such.

#include <algorithm>
#include <expected>
#include <string>

#include "bench/recorder_runs.h"
#include "bench/switch_gap.h"

namespace bench {

constexpr double LAST_MS = 100;  // the stop tail's span before SIGINT

// A recorder's fidelity in one round, in ms.
struct Fidelity {
    double onset_loss_ms = 0;
    double start_lead_ms = 0;
    double stop_lost_ms = 0;
    double last_kept_ms() const { return std::clamp(LAST_MS - stop_lost_ms, 0.0, LAST_MS); }
};

// The onset, start-lead and stop-tail runs of one recorder.
std::expected<Fidelity, std::string> measure_fidelity(RecorderRuns& runs, const RunRecorder& run);

// The sink the default output is switched to and from, loaded at the start of the run.
constexpr const char* SECOND_SINK = "second";
constexpr int SWITCHES = 4;  // even: the default ends where it began
// How far on either side of a switch its gap is counted: half the time between switches.
constexpr double SWITCH_REACH_MS = 600;

// The switch run of one recorder. `plain_shortfall_ms`: how much shorter than the wall time
// the same recorder's file came out in a run without switches (its start, mostly).
std::expected<SwitchGaps, std::string> measure_switch_gaps(RecorderRuns& runs,
                                                           const RunRecorder& run,
                                                           double plain_shortfall_ms);

}  // namespace bench
