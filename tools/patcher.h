// Reading Max patcher files (.maxpat, .maxhelp): the boxes and patch cords of the top
// patcher with every subpatcher ("p name") flattened into it.
#pragma once

#include <string>
#include <vector>

namespace tilde {

struct PatcherBox {
    std::string id;        // "obj-3"; inside a subpatcher "obj-7/obj-3"
    std::string maxclass;  // "newobj", "message", "number", "flonum", "ezdac~", ...
    std::string text;      // object and message boxes
    double x = 0, y = 0;   // patching_rect position
    int numinlets = 0;     // as saved with the box
    std::vector<double> initial;  // a parameter's saved initial value (live.gain~ and the like)
};

struct PatcherLine {
    std::string from;
    int outlet = 0;
    std::string to;
    int inlet = 0;
};

struct Patcher {
    std::vector<PatcherBox> boxes;  // boxes that become objects, in file order
    std::vector<PatcherLine> lines;  // between those boxes, subpatcher inlets and outlets resolved
    std::vector<std::string> ignored;  // ids of the pure interface boxes left out (comments, panels)
};

// Boxes that only show something and take no part in what a patch computes.
bool is_interface_only(const std::string &maxclass);

// Parses the file; throws BadInput naming the file (and the box) for anything malformed.
Patcher read_patcher(const std::string &path);
// The same from JSON text; `where` names the source in errors.
Patcher parse_patcher(const std::string &json_text, const std::string &where);

}  // namespace tilde
