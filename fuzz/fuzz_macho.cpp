// libFuzzer target for the host's Mach-O loader: each input is a whole file (a universal or thin
// Mach-O image), mapped and bound as a bundle would be and closed again; none of its code runs.
// Seed it with bundles, e.g. build/x64/test-externals/macho/machoprobe~.universal.
#include <cstdint>
#include <string>

#include "modules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string why;
    tk::detail::MachoModule *m = tk::detail::open_macho_image(data, size, "input", why);
    if (m) tk::detail::close_macho(m);
    else if (why.empty() || why.find('\n') != std::string::npos) __builtin_trap();  // a refusal is one line
    return 0;
}
