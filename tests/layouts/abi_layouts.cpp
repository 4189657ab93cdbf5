// The records the host and the externals share, laid out as the host lays them out on each
// platform this project builds for. Compiled against the stand-in headers and, where it is
// present, against the host SDK's: a layout that drifts fails the build.
#include <ext.h>
#include <z_dsp.h>

#include <cstddef>

struct Layout {
    std::size_t object, atom, atom_word, px, px_in, px_proxy, px_disabled, px_count, px_misc, signal, signal_vec,
        signal_sr, signal_ptr;
};

#if defined(_WIN64)
constexpr Layout expected{32, 16, 8, 56, 32, 40, 48, 52, 54, 56, 8, 16, 48};
#elif defined(_WIN32)
// the host's 32-bit Windows records are packed to 2 bytes
constexpr Layout expected{16, 6, 2, 32, 16, 20, 24, 28, 30, 28, 4, 8, 24};
#elif defined(__x86_64__) || defined(__aarch64__)
constexpr Layout expected{32, 16, 8, 64, 32, 40, 48, 56, 58, 56, 8, 16, 48};
#elif defined(__i386__)
constexpr Layout expected{16, 8, 4, 32, 16, 20, 24, 28, 30, 28, 4, 8, 24};
#else
#error "no known record layout for this platform"
#endif

static_assert(sizeof(t_object) == expected.object, "t_object");
static_assert(sizeof(t_atom) == expected.atom && offsetof(t_atom, a_w) == expected.atom_word, "t_atom");
static_assert(sizeof(t_atom_float) == (sizeof(void *) == 8 ? 8 : 4), "t_atom_float");
static_assert(sizeof(t_pxobject) == expected.px, "t_pxobject");
static_assert(offsetof(t_pxobject, z_in) == expected.px_in, "t_pxobject.z_in");
static_assert(offsetof(t_pxobject, z_proxy) == expected.px_proxy, "t_pxobject.z_proxy");
static_assert(offsetof(t_pxobject, z_disabled) == expected.px_disabled, "t_pxobject.z_disabled");
static_assert(offsetof(t_pxobject, z_count) == expected.px_count, "t_pxobject.z_count");
static_assert(offsetof(t_pxobject, z_misc) == expected.px_misc, "t_pxobject.z_misc");
static_assert(sizeof(t_signal) == expected.signal, "t_signal");
static_assert(offsetof(t_signal, s_n) == 0, "t_signal.s_n");
static_assert(offsetof(t_signal, s_vec) == expected.signal_vec, "t_signal.s_vec");
static_assert(offsetof(t_signal, s_sr) == expected.signal_sr, "t_signal.s_sr");
static_assert(offsetof(t_signal, s_ptr) == expected.signal_ptr, "t_signal.s_ptr");
