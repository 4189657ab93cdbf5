// Objects the headless host provides itself, so that ordinary patches run: audio in and
// out, test sources, arithmetic on signals, ramps and counters, load-time triggers, message
// boxes, print, number boxes, timers, a gain fader and named sample buffers (buffer~). They are classes of the host program, registered in "box"
// exactly as the externals register theirs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tildehost.h"

namespace tk::objects {

// Registers every host object; later calls do nothing. Afterwards Patch::create("cycle~ 440")
// and the like work without any module on the search path.
void register_all();
// The class names, in registration order ("adc~", "dac~", ...).
const std::vector<std::string> &class_names();

// Audio in: adc~ channel c (0-based) asks for n samples from sample `start` of the run.
// Without a source it reads silence.
using AudioSource = std::function<void(int channel, std::int64_t start, long n, double *out)>;
void set_audio_source(AudioSource source);
// Audio out: dac~ / ezdac~ hand over n samples of channel c (0-based) from sample `start`;
// several boxes playing one channel each hand theirs over (the receiver sums them).
using AudioSink = std::function<void(int channel, std::int64_t start, long n, const double *in)>;
void set_audio_sink(AudioSink sink);
// Messages that are neither a bang nor one number (message boxes, loadmess) cannot travel
// through the host's outlets; they are handed to this router with the sending object and
// outlet, and the embedding program delivers them along its connections. Without a
// router they are posted as errors.
using MessageRouter = std::function<void(_object *from, int outlet, const std::string &selector, const Atoms &args)>;
void set_message_router(MessageRouter router);
// Where print writes its lines (default: stdout, flushed after each line).
void set_print_sink(std::function<void(const std::string &line)> sink);
// Folders where buffer~ looks for the sound files a patch names (a patch's own folder first);
// then the working directory.
void set_file_folders(std::vector<std::string> folders);
// Clears the source, sink, router, print sink and file folders.
void reset_io();

}  // namespace tk::objects

// The single entry point `tilde run` calls once at start.
void tk_register_host_objects();
