// Embedding API for what SDK-style externals keep beside their signal paths: the attributes of
// a box and the host's named sample buffers (buffer~).
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tildehost.h"

namespace tk {

// The value of a box's attribute (as a `getNAME` query answers): an attribute the object added
// itself (object_addattr) first, then its class's; nullopt when it has none of that name.
std::optional<Atoms> attribute_value(const Box *box, const std::string &name);
// The names of the attributes of a box's class in registration order, then those the object
// added itself.
std::vector<std::string> attribute_names(const Box *box);
// The attributes a method of the box's class carries (CLASS_METHOD_ATTR_PARSE: "undocumented",
// "introduced"...), name and value, in the order they were added; empty when the class has no
// such method or it carries none.
std::vector<std::pair<std::string, Atoms>> method_attributes(const Box *box, const std::string &method);

// Named buffers of sample frames (channels interleaved) that externals reach through
// buffer_ref_new / buffer_locksamples / buffer_getframecount ...
// Creates or replaces the buffer; objects referring to the name are told it changed.
void buffer_set(const std::string &name, int channels, std::vector<float> interleaved, double samplerate);
// Loads a sound file (any format libsndfile reads) into the named buffer; throws tk::Error naming
// the file and the cause when it cannot be read. Returns the frame count.
long buffer_load(const std::string &name, const std::string &path);
// The buffer's samples (interleaved) and its shape; nullopt when there is no such buffer.
struct BufferInfo {
    int channels = 0;
    long frames = 0;
    double samplerate = 0;
    std::vector<float> samples;
};
std::optional<BufferInfo> buffer_info(const std::string &name);
void buffer_remove(const std::string &name);

}  // namespace tk
