// tilde run FILE --live / tilde render NAME --live: plays a patch (or one box) through a
// running JACK server. The DSP chain runs in JACK's process callback; clocks and messages
// run on a scheduler thread of their own; --out is recorded from a lock-free ring by a
// writer thread.
#pragma once

#include <map>
#include <vector>

namespace CLI {
class App;
}
namespace tk {
class Patch;
class Box;
}  // namespace tk

namespace tilde {

struct RunOptions;
struct RenderOptions;
struct Message;
struct TestSignal;
class Schedule;

// Adds --live and the options that go with it (--connect-in, --connect-out, --no-connect,
// --client-name, --verbose) to the `run` and `render` subcommands of the app.
void add_live_options(CLI::App &app);
// True when --live was given to the subcommand that runs.
bool live_requested();

// Plays a patch that `tilde run` has built (boxes, cords, loadbang and the untimed messages
// done; nothing run yet); `schedule` holds the timed -m messages. Returns the exit status.
int play_patch_live(tk::Patch &patch, Schedule &schedule, const RunOptions &o);
// Plays the box of `tilde render`: its signal inlets not fed by --signal become input
// ports, its signal outlets output ports. Returns the exit status.
int play_box_live(tk::Patch &patch, tk::Box *box, const std::vector<Message> &messages,
                  const std::map<int, TestSignal> &signals, const RenderOptions &o);

}  // namespace tilde
