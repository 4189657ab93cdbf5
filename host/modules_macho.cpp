// Loading macOS externals on Linux x86-64 and Linux AArch64: the code of a Mach-O bundle for the
// host's own architecture (x86_64 or arm64), mapped, fixed up and bound by the host itself.
// macOS and Linux share the calling convention of each architecture (System V on x86-64, AAPCS64
// on arm64) and LP64, so the bundle's machine code runs here once its segments are in place, its
// pointers rebased and its imports bound: the Max API from our MaxAPI/MaxAudio, the C library
// from glibc, and the few Darwin-only names from the table below. Where Apple's arm64 convention
// departs from Linux's (every variadic argument on the stack; long double is double), the imports
// concerned are bound to the entries of macho_arm64_entries.cpp. Every bind is applied at load
// time (so the lazy binder is never called), and anything the loader does not do is refused at
// load with one line, never left to fail at call time. The file is untrusted: every offset, size,
// count and opcode is checked before use.
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include "modules.h"

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))

#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#ifdef __aarch64__
#include "macho_arm64_entries.h"
#endif

// glibc's report of a failed assertion (not declared under NDEBUG)
extern "C" void __assert_fail(const char *, const char *, unsigned, const char *) noexcept __attribute__((noreturn));

namespace tk::detail {

namespace {

// ---- Mach-O records (the subset read here) ----------------------------------------------
constexpr std::uint32_t kFatMagic = 0xcafebabe, kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kMagic64 = 0xfeedfacf, kMagic32 = 0xfeedface;
constexpr std::uint32_t kCigam64 = 0xcffaedfe, kCigam32 = 0xcefaedfe;
constexpr std::uint32_t kCpuX86_64 = 0x01000007, kCpuArm64 = 0x0100000c;
constexpr std::uint32_t kSubtypeX86_64H = 8, kSubtypeArm64E = 2;
#ifdef __aarch64__
constexpr std::uint32_t kHostCpu = kCpuArm64;
#else
constexpr std::uint32_t kHostCpu = kCpuX86_64;
#endif
constexpr std::uint32_t kBundle = 8;
constexpr std::uint32_t kHasTlvDescriptors = 0x800000;

constexpr std::uint32_t kReqDyld = 0x80000000;
constexpr std::uint32_t kLcSegment = 0x1, kLcSegment64 = 0x19, kLcDysymtab = 0xb, kLcLoadDylib = 0xc,
                        kLcLazyLoadDylib = 0x20, kLcLoadWeakDylib = 0x18 | kReqDyld,
                        kLcReexportDylib = 0x1f | kReqDyld, kLcLoadUpwardDylib = 0x23 | kReqDyld,
                        kLcDyldInfo = 0x22, kLcDyldInfoOnly = 0x22 | kReqDyld, kLcRoutines64 = 0x1a,
                        kLcEncryptionInfo64 = 0x2c, kLcDyldExportsTrie = 0x33 | kReqDyld,
                        kLcDyldChainedFixups = 0x34 | kReqDyld;
// commands with the "required" bit this loader knows it may pass over
constexpr std::uint32_t kLcRpath = 0x1c | kReqDyld, kLcMain = 0x28 | kReqDyld;

constexpr std::uint32_t kSgReadOnly = 0x10;
enum : std::uint8_t {
    kSZerofill = 0x1, kSModInitFuncPointers = 0x9, kSModTermFuncPointers = 0xa, kSGbZerofill = 0xc,
    kSThreadLocalRegular = 0x11, kSThreadLocalInitFunctionPointers = 0x15, kSInitFuncOffsets = 0x16,
    kSThreadLocalZerofill = 0x12,
};

// Segments start on 4096-byte pages (x86_64) or 16384-byte ones (arm64); each must start on a
// page of this machine to get its own protection.
std::uint64_t host_page() {
    static const std::uint64_t page = std::max<long>(4096, ::sysconf(_SC_PAGESIZE));
    return page;
}
constexpr std::size_t kMaxFile = std::size_t(512) << 20;
constexpr std::uint64_t kMaxSpan = std::uint64_t(1) << 30;

struct Fail {
    std::string why;
};
[[noreturn]] void fail(std::string why) { throw Fail{std::move(why)}; }

std::uint32_t le32(const unsigned char *p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
std::uint64_t le64(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
std::uint32_t be32(const unsigned char *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
std::uint64_t be64(const unsigned char *p) { return std::uint64_t(be32(p)) << 32 | be32(p + 4); }

// [off, off + len) within [0, size), without overflow
bool fits(std::uint64_t off, std::uint64_t len, std::uint64_t size) { return off <= size && len <= size - off; }

std::string hex(std::uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

std::string cpu_name(std::uint32_t type) {
    switch (type) {
    case kCpuX86_64: return "x86_64";
    case 7: return "i386";
    case kCpuArm64: return "arm64";
    case 0x0200000c: return "arm64_32";
    case 12: return "arm";
    case 18: return "ppc";
    case 0x01000012: return "ppc64";
    default: return "cpu type " + hex(type);
    }
}

// A name from the file as messages show it: printable and not too long.
std::string printable(std::string s) {
    if (s.size() > 200) s = s.substr(0, 200) + "...";
    for (auto &c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
    return s;
}

std::string fixed_name(const unsigned char *p, std::size_t n) {
    std::size_t len = 0;
    while (len < n && p[len]) ++len;
    return printable(std::string(reinterpret_cast<const char *>(p), len));
}

// An opcode stream or the export trie: bytes read with their bounds checked.
struct Reader {
    const unsigned char *p, *end;
    const char *what;
    bool more() const { return p < end; }
    std::uint8_t byte() {
        if (p >= end) fail(std::string("its ") + what + " end in the middle of an entry");
        return *p++;
    }
    std::uint64_t uleb() {
        std::uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
            std::uint8_t b = byte();
            if (shift > 63 || (shift == 63 && (b & 0x7e)))
                fail(std::string("its ") + what + " hold a number wider than 64 bits");
            v |= std::uint64_t(b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
        }
    }
    std::int64_t sleb() {
        std::uint64_t v = 0;
        int shift = 0;
        std::uint8_t b;
        do {
            b = byte();
            if (shift > 63) fail(std::string("its ") + what + " hold a number wider than 64 bits");
            v |= std::uint64_t(b & 0x7f) << shift;
            shift += 7;
        } while (b & 0x80);
        if (shift < 64 && (b & 0x40)) v |= ~std::uint64_t(0) << shift;
        return static_cast<std::int64_t>(v);
    }
    const char *cstr() {
        const void *nul = std::memchr(p, 0, std::size_t(end - p));
        if (!nul) fail(std::string("its ") + what + " hold a name without its end");
        const char *s = reinterpret_cast<const char *>(p);
        p = static_cast<const unsigned char *>(nul) + 1;
        return s;
    }
};

struct Segment {
    std::string name;
    std::uint64_t vmaddr, vmsize, fileoff, filesize;
    std::uint32_t initprot, flags;
};

enum class Lib { System, Max, Other };
struct Dylib {
    std::string name;
    Lib kind;
};

struct Range {
    std::uint32_t off = 0, size = 0;
};

// What the load commands say, checked against the slice.
struct Layout {
    std::vector<Segment> segs;
    std::vector<Dylib> dylibs;
    Range rebase, bind, weak_bind, lazy_bind, exports;
    bool have_dyld_info = false, have_exports_trie = false;
    std::uint32_t relocations = 0;  // classic relocation entries (LC_DYSYMTAB)
    struct Inits {
        std::uint64_t addr, size;
        bool offsets;  // S_INIT_FUNC_OFFSETS: 32-bit offsets from the header, else pointers
    };
    std::vector<Inits> inits;
    std::uint64_t header_vmaddr = 0;
};

// ---- the slice ---------------------------------------------------------------------------
struct Slice {
    const unsigned char *p;
    std::size_t size;
};

Slice pick_slice(const unsigned char *data, std::size_t size) {
    if (size < 8) fail("it is too short for a Mach-O file (" + std::to_string(size) + " bytes)");
    std::uint32_t magic = be32(data);
    if (magic == kFatMagic || magic == kFatMagic64) {
        const bool wide = magic == kFatMagic64;
        const std::size_t entry = wide ? 32 : 20;
        std::uint32_t n = be32(data + 4);
        if (n == 0) fail("it is a universal file with no architectures");
        if (n > 64 || !fits(8, std::uint64_t(n) * entry, size))
            fail("its universal header lists " + std::to_string(n) + " architectures, more than the file holds");
        const std::string arch = cpu_name(kHostCpu);
        std::string held;
        long best = -1;
        bool arm64e = false;
        for (std::uint32_t i = 0; i < n; ++i) {
            const unsigned char *e = data + 8 + i * entry;
            std::uint32_t cpu = be32(e), sub = be32(e + 4) & 0x00ffffff;
            held += (held.empty() ? "" : ", ") + cpu_name(cpu) + (cpu == kCpuArm64 && sub == kSubtypeArm64E ? "e" : "");
            if (cpu != kHostCpu) continue;
            // the baseline x86_64 code before the Haswell-only variant; arm64 code without
            // pointer authentication (arm64e signs its pointers, which this host does not do)
            if (cpu == kCpuArm64 && sub == kSubtypeArm64E) {
                arm64e = true;
                continue;
            }
            if (best < 0 || sub != kSubtypeX86_64H) best = long(i);
        }
        if (best < 0 && arm64e) fail("it has only arm64e code (pointer authentication), which this host does not run");
        if (best < 0) fail("it has no " + arch + " code (" + held + " only)");
        const unsigned char *e = data + 8 + std::size_t(best) * entry;
        std::uint64_t off = wide ? be64(e + 8) : be32(e + 8), len = wide ? be64(e + 16) : be32(e + 12);
        if (!fits(off, len, size))
            fail("its " + arch + " slice (" + std::to_string(len) + " bytes at " + std::to_string(off) +
                 ") lies beyond the end of the file (" + std::to_string(size) + " bytes)");
        if (len < 32 || le32(data + off) != kMagic64 || le32(data + off + 4) != kHostCpu)
            fail("its " + arch + " slice is not a 64-bit " + arch + " Mach-O image");
        if (kHostCpu == kCpuArm64 && (le32(data + off + 8) & 0x00ffffff) == kSubtypeArm64E)
            fail("it has only arm64e code (pointer authentication), which this host does not run");
        return {data + off, std::size_t(len)};
    }
    magic = le32(data);
    if (magic == kMagic64 || magic == kMagic32) {
        std::uint32_t cpu = le32(data + 4);
        if (cpu != kHostCpu || magic != kMagic64)
            fail("it has no " + cpu_name(kHostCpu) + " code (" + cpu_name(cpu) + " only)");
        if (size < 32) fail("its Mach-O header is cut short (" + std::to_string(size) + " bytes)");
        if (cpu == kCpuArm64 && (le32(data + 8) & 0x00ffffff) == kSubtypeArm64E)
            fail("it has only arm64e code (pointer authentication), which this host does not run");
        return {data, size};
    }
    if (magic == kCigam64 || magic == kCigam32) fail("it is a big-endian Mach-O file (" + cpu_name(be32(data + 4)) + ")");
    fail("it is not a Mach-O file (no Mach-O or universal header)");
}

// ---- load commands ---------------------------------------------------------------------------
Lib classify(const std::string &name) {
    if (name == "/usr/lib/libSystem.B.dylib") return Lib::System;
    // the SDK's usual link names the Max frameworks; their functions are ours
    for (const char *fw : {"MaxAPI.framework/", "MaxAudioAPI.framework/", "JitterAPI.framework/"})
        if (name.find(fw) != std::string::npos) return Lib::Max;
    return Lib::Other;
}

void read_segment(const unsigned char *c, std::uint32_t size, std::size_t slice_size, Layout &lay, unsigned index) {
    if (size < 72) fail("its load command " + std::to_string(index) + " (a segment) is cut short");
    Segment s{fixed_name(c + 8, 16), le64(c + 24), le64(c + 32), le64(c + 40), le64(c + 48), le32(c + 60), le32(c + 68)};
    std::uint32_t nsects = le32(c + 64);
    if (!fits(72, std::uint64_t(nsects) * 80, size))
        fail("its segment " + s.name + " lists " + std::to_string(nsects) + " sections, more than its load command holds");
    if (!fits(s.fileoff, s.filesize, slice_size))
        fail("its segment " + s.name + " (" + std::to_string(s.filesize) + " bytes at " + std::to_string(s.fileoff) +
             ") lies beyond the end of the file");
    if (s.filesize > s.vmsize) fail("its segment " + s.name + " holds more of the file than its memory size");
    if (s.vmaddr + s.vmsize < s.vmaddr) fail("its segment " + s.name + " wraps around the address space");
    if (lay.segs.size() >= 64) fail("it has more than 64 segments");
    for (std::uint32_t k = 0; k < nsects; ++k) {
        const unsigned char *sc = c + 72 + std::size_t(k) * 80;
        std::string sect = fixed_name(sc + 16, 16) + "," + fixed_name(sc, 16);
        std::uint64_t addr = le64(sc + 32), len = le64(sc + 40);
        std::uint8_t type = le32(sc + 64) & 0xff;
        if (addr < s.vmaddr || !fits(addr - s.vmaddr, len, s.vmsize))
            fail("its section " + sect + " lies outside its segment");
        if (type >= kSThreadLocalRegular && type <= kSThreadLocalInitFunctionPointers)
            fail("it needs thread-local data (section " + sect + "), which this host does not provide");
        if (type == kSModTermFuncPointers && len)
            fail("it needs terminators (section " + sect + "), which this host does not run");
        if (type == kSModInitFuncPointers || type == kSInitFuncOffsets) {
            bool offsets = type == kSInitFuncOffsets;
            if (len % (offsets ? 4 : 8)) fail("its initialiser section " + sect + " has a size that is no whole number of entries");
            if (len) lay.inits.push_back({addr, len, offsets});
        }
        if (type != kSZerofill && type != kSGbZerofill && type != kSThreadLocalZerofill && len &&
            !fits(le32(sc + 48), len, slice_size) && s.filesize)
            fail("its section " + sect + " lies beyond the end of the file");
    }
    lay.segs.push_back(s);
}

Layout read_commands(const Slice &sl) {
    const unsigned char *h = sl.p;
    std::uint32_t filetype = le32(h + 12), ncmds = le32(h + 16), sizeofcmds = le32(h + 20), flags = le32(h + 24);
    if (filetype != kBundle) {
        const char *what = filetype == 6 ? "a dynamic library (MH_DYLIB)"
                           : filetype == 2 ? "a program (MH_EXECUTE)"
                           : filetype == 1 ? "an object file (MH_OBJECT)"
                           : filetype == 7 ? "the dynamic linker (MH_DYLINKER)"
                                           : nullptr;
        fail(std::string("it is ") + (what ? what : ("a Mach-O file of type " + std::to_string(filetype)).c_str()) +
             ", not a bundle (MH_BUNDLE)");
    }
    if (!fits(32, sizeofcmds, sl.size)) fail("its load commands (" + std::to_string(sizeofcmds) + " bytes) run past the end of the file");
    if (ncmds > sizeofcmds / 8) fail("it claims " + std::to_string(ncmds) + " load commands in " + std::to_string(sizeofcmds) + " bytes");
    if (flags & kHasTlvDescriptors) fail("it needs thread-local data (MH_HAS_TLV_DESCRIPTORS), which this host does not provide");

    Layout lay;
    std::size_t at = 32;
    const std::size_t end = 32 + std::size_t(sizeofcmds);
    for (unsigned i = 0; i < ncmds; ++i) {
        if (end - at < 8) fail("its load command " + std::to_string(i) + " runs past the load commands");
        const unsigned char *c = h + at;
        std::uint32_t cmd = le32(c), size = le32(c + 4);
        if (size < 8 || size % 8 || size > end - at)
            fail("its load command " + std::to_string(i) + " has a bad size (" + std::to_string(size) + ")");
        auto need = [&](std::uint32_t n) {
            if (size < n) fail("its load command " + std::to_string(i) + " (" + hex(cmd) + ") is cut short");
        };
        switch (cmd) {
        case kLcSegment64:
            read_segment(c, size, sl.size, lay, i);
            break;
        case kLcSegment:
            fail("it has a 32-bit segment in its 64-bit code");
        case kLcDyldInfo:
        case kLcDyldInfoOnly: {
            need(48);
            if (lay.have_dyld_info) fail("it has two LC_DYLD_INFO commands");
            lay.have_dyld_info = true;
            Range *r[] = {&lay.rebase, &lay.bind, &lay.weak_bind, &lay.lazy_bind, &lay.exports};
            const char *names[] = {"rebase", "bind", "weak bind", "lazy bind", "export"};
            for (int k = 0; k < 5; ++k) {
                Range v{le32(c + 8 + 8 * k), le32(c + 12 + 8 * k)};
                if (!fits(v.off, v.size, sl.size)) fail(std::string("its ") + names[k] + " information lies beyond the end of the file");
                if (k == 4 && lay.have_exports_trie) continue;
                *r[k] = v;
            }
            break;
        }
        case kLcDyldExportsTrie: {
            need(16);
            Range v{le32(c + 8), le32(c + 12)};
            if (!fits(v.off, v.size, sl.size)) fail("its export trie lies beyond the end of the file");
            lay.exports = v;
            lay.have_exports_trie = true;
            break;
        }
        case kLcDyldChainedFixups:
            fail("it needs chained fixups (LC_DYLD_CHAINED_FIXUPS), which this host does not apply (link it with -no_fixup_chains)");
        case kLcLoadDylib:
        case kLcLoadWeakDylib:
        case kLcReexportDylib:
        case kLcLazyLoadDylib:
        case kLcLoadUpwardDylib: {
            need(24);
            std::uint32_t off = le32(c + 8);
            if (off < 24 || off >= size || !std::memchr(c + off, 0, size - off))
                fail("its load command " + std::to_string(i) + " names its library badly");
            std::string name(reinterpret_cast<const char *>(c + off));
            lay.dylibs.push_back({name, classify(name)});
            break;
        }
        case kLcDysymtab:
            need(80);
            lay.relocations = le32(c + 68) | le32(c + 76);
            break;
        case kLcRoutines64:
            fail("it needs an initialisation routine (LC_ROUTINES_64), which this host does not run");
        case kLcEncryptionInfo64:
            need(24);
            if (le32(c + 16)) fail("it is encrypted (LC_ENCRYPTION_INFO_64)");
            break;
        case kLcRpath:
        case kLcMain:
            break;
        default:
            if (cmd & kReqDyld) fail("it needs load command " + hex(cmd) + ", which this host does not know");
        }
        at += size;
    }
    std::string others;
    for (auto &d : lay.dylibs)
        if (d.kind == Lib::Other) others += (others.empty() ? "" : ", ") + printable(d.name);
    if (!others.empty()) fail("it needs " + others + ", which this host does not provide (only libSystem and the Max API)");
    if (lay.segs.empty()) fail("it has no segments");
    if (!lay.have_dyld_info) {
        if (lay.relocations) fail("it uses classic relocations (no LC_DYLD_INFO_ONLY), which this host does not apply");
        fail("it has no dyld information (LC_DYLD_INFO_ONLY) for its fixups and exports");
    }
    bool header = false;
    for (auto &s : lay.segs)
        if (s.fileoff == 0 && s.filesize >= 32 + std::uint64_t(sizeofcmds)) {
            lay.header_vmaddr = s.vmaddr;
            header = true;
            break;
        }
    if (!header) fail("no segment maps its Mach-O header");
    return lay;
}

// ---- the names it imports --------------------------------------------------------------------
struct SinCos {
    double s, c;
};
struct SinCosF {
    float s, c;
};
// returned in xmm0 and xmm1 (xmm0 for the floats), as Darwin's helpers return them
SinCos sincos_stret(double x) { return {std::sin(x), std::cos(x)}; }
SinCosF sincosf_stret(float x) { return {std::sin(x), std::cos(x)}; }

void memset_pattern(void *b, const void *pattern, std::size_t n, std::size_t len) {
    auto *d = static_cast<unsigned char *>(b);
    while (len >= n) {
        std::memcpy(d, pattern, n);
        d += n;
        len -= n;
    }
    std::memcpy(d, pattern, len);
}
void memset_pattern4(void *b, const void *p, std::size_t len) { memset_pattern(b, p, 4, len); }
void memset_pattern8(void *b, const void *p, std::size_t len) { memset_pattern(b, p, 8, len); }
void memset_pattern16(void *b, const void *p, std::size_t len) { memset_pattern(b, p, 16, len); }

void assert_rtn(const char *func, const char *file, int line, const char *expr) {
    __assert_fail(expr ? expr : "?", file ? file : "?", unsigned(line), func ? func : "?");
}

// Darwin's guard is an array of words, the first compared by the code
std::uintptr_t stack_chk_guard[8];

// The modules mapped so far, for the messages of the two routines below.
std::mutex images_lock;
std::vector<std::pair<std::uintptr_t, std::pair<std::uintptr_t, std::string>>> images;  // start, (end, path)

std::string image_of(const void *pc) {
    std::lock_guard<std::mutex> lock(images_lock);
    auto a = reinterpret_cast<std::uintptr_t>(pc);
    for (auto &i : images)
        if (a >= i.first && a < i.second.first) return i.second.second;
    return "a Mach-O external";
}

[[noreturn]] void stack_chk_fail() {
    std::fprintf(stderr, "*** stack smashing detected in %s: terminated\n", image_of(__builtin_return_address(0)).c_str());
    std::abort();
}
[[noreturn]] void stub_binder() {
    std::fprintf(stderr, "%s called dyld_stub_binder: a lazy bind the host did not apply\n", image_of(__builtin_return_address(0)).c_str());
    std::abort();
}

void *fn(auto f) { return reinterpret_cast<void *>(f); }

// Darwin's names where glibc's differ (after the leading underscore of C names is dropped): the
// helpers Darwin has and glibc has not, and glibc's own names for the rest.
const char *glibc_alias(const std::string &n) {
    static const std::map<std::string, const char *> aliases = {
        {"__error", "__errno_location"},
        {"__bzero", "bzero"},
        {"__exp10", "exp10"},
        {"__exp10f", "exp10f"},
        // plain sscanf and its kin are glibc's older GNU forms; Darwin's follow C99
        {"sscanf", "__isoc99_sscanf"},
        {"fscanf", "__isoc99_fscanf"},
        {"scanf", "__isoc99_scanf"},
        {"vsscanf", "__isoc99_vsscanf"},
        {"vfscanf", "__isoc99_vfscanf"},
        {"vscanf", "__isoc99_vscanf"},
        // Darwin's jmp_buf (148 bytes) is smaller than glibc's with its signal mask: the form
        // that keeps no mask fits in it
        {"setjmp", "_setjmp"},
    };
    auto it = aliases.find(n);
    return it == aliases.end() ? nullptr : it->second;
}
void *darwin_name(const std::string &n) {
    static const std::map<std::string, void *> table = {
        {"__stdinp", &stdin},
        {"__stdoutp", &stdout},
        {"__stderrp", &stderr},
        {"__assert_rtn", fn(&assert_rtn)},
        {"memset_pattern4", fn(&memset_pattern4)},
        {"memset_pattern8", fn(&memset_pattern8)},
        {"memset_pattern16", fn(&memset_pattern16)},
        {"__sincos_stret", fn(&sincos_stret)},
        {"__sincosf_stret", fn(&sincosf_stret)},
        {"__stack_chk_guard", &stack_chk_guard},
        {"__stack_chk_fail", fn(&stack_chk_fail)},
    };
    auto it = table.find(n);
    return it == table.end() ? nullptr : it->second;
}

// C library functions whose flags, identifiers or records differ between Darwin and glibc: bound
// to glibc's they would misbehave, so a bundle needing them is refused.
bool untranslated(const std::string &n) {
    static const std::set<std::string> names = {
        "stat", "fstat", "lstat", "fstatat", "open", "openat", "fcntl", "ioctl", "mmap", "mprotect",
        "sigaction", "signal", "sigprocmask", "pthread_sigmask", "sigsetjmp", "siglongjmp", "setlocale",
        "newlocale", "sysconf", "pathconf", "fpathconf", "clock_gettime", "clock_getres", "opendir",
        "fdopendir", "readdir", "readdir_r", "pthread_mutexattr_settype", "pthread_attr_setdetachstate",
        "getrlimit", "setrlimit", "socket", "setsockopt", "getsockopt", "uname", "dlopen", "dlsym"};
    return names.count(n) != 0;
}

struct Providers {
    void *libc = nullptr, *libm = nullptr;
    struct Max {
        void *handle;
        std::string file;
    };
    std::vector<Max> max;
    std::string why;  // when the Max libraries could not be opened
};

std::string link_name(void *handle) {
    link_map *lm = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0 || !lm || !lm->l_name) return "";
    return lm->l_name;
}

const Providers &providers() {
    static Providers p = [] {
        Providers r;
        r.libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        r.libm = ::dlopen("libm.so.6", RTLD_NOW);
        // our MaxAPI and MaxAudio: the copies loaded already, else those beside this library (a
        // process that has loaded only Mach-O externals has not opened them)
        Dl_info self{};
        std::string dir;
        if (::dladdr(reinterpret_cast<void *>(&providers), &self) && self.dli_fname) {
            dir = self.dli_fname;
            dir = dir.find('/') == std::string::npos ? "." : dir.substr(0, dir.rfind('/'));
        }
        for (const char *lib : {"libMaxAPI.so", "libMaxAudio.so"}) {
            void *h = ::dlopen(lib, RTLD_NOW | RTLD_NOLOAD);
            if (!h) h = ::dlopen((dir + "/" + lib).c_str(), RTLD_NOW);
            if (!h) {
                const char *e = ::dlerror();
                r.why = std::string("the Max API libraries cannot be opened (") + dir + "/" + lib + ": " + (e ? e : "?") + ")";
                continue;
            }
            r.max.push_back({h, link_name(h)});
        }
        // the stack guard: random words, as Darwin's
        if (const void *rnd = reinterpret_cast<const void *>(::getauxval(AT_RANDOM))) std::memcpy(stack_chk_guard, rnd, 16);
        stack_chk_guard[0] &= ~std::uintptr_t(0xff);  // a zero byte stops string overruns
        if (!stack_chk_guard[0]) stack_chk_guard[0] = 0x5a5a5a5a5a5a5a00u;
        return r;
    }();
    return p;
}

// A function MaxAPI or MaxAudio defines itself (not one of the libraries they use).
void *max_api(const char *n) {
    for (auto &m : providers().max) {
        void *p = ::dlsym(m.handle, n);
        Dl_info info{};
        if (p && ::dladdr(p, &info) && info.dli_fname && m.file == info.dli_fname) return p;
    }
    return nullptr;
}

void *c_library(const char *n) {
    auto &p = providers();
    void *s = p.libc ? ::dlsym(p.libc, n) : nullptr;
    if (!s && p.libm) s = ::dlsym(p.libm, n);
    return s;
}

// A C library name (without its underscore): Darwin's helpers, glibc's names for Darwin's, glibc.
void *c_name(const std::string &n) {
    if (void *p = darwin_name(n)) return p;
#ifdef __aarch64__
    // for Apple arm64 callers: the entries of the variadic functions, the double forms of the
    // long double ones; other variadic functions are not bound
    if (void *e = apple_arm64_entry(n, &max_api)) return e;
    if (const char *d = apple_arm64_long_double_alias(n)) return c_library(d);
    if (apple_arm64_untranslated_variadic(n)) return nullptr;
#endif
    if (const char *alias = glibc_alias(n)) return c_library(alias);
    return untranslated(n) ? nullptr : c_library(n.c_str());
}

// "_name" -> "name"; "" for names that are not C names (no underscore) or Darwin's variants
// of a function ("_fopen$DARWIN_EXTSN"), which no glibc function matches
std::string c_part(const std::string &sym) {
    return sym.size() > 1 && sym[0] == '_' && sym.find('$') == std::string::npos ? sym.substr(1) : std::string();
}

// ---- the module ------------------------------------------------------------------------------
}  // namespace

struct MachoModule {
    std::string path;
    unsigned char *base = nullptr;
    std::size_t span = 0;
    std::uint64_t min_vmaddr = 0;
    Layout lay;
    std::vector<unsigned char> trie;
    bool started = false;

    unsigned char *at(std::uint64_t vmaddr) const { return base + (vmaddr - min_vmaddr); }
    bool in_code(std::uint64_t vmaddr) const {
        for (auto &s : lay.segs)
            if ((s.initprot & 4) && vmaddr >= s.vmaddr && vmaddr - s.vmaddr < s.vmsize) return true;
        return false;
    }
    ~MachoModule() {
        if (!base) return;
        {
            std::lock_guard<std::mutex> lock(images_lock);
            auto b = reinterpret_cast<std::uintptr_t>(base);
            images.erase(std::remove_if(images.begin(), images.end(), [&](auto &i) { return i.first == b; }), images.end());
        }
        ::munmap(base, span);
    }
};

namespace {

// The export trie: the address (offset from the header) of `name`, or false when it exports none.
bool find_export(const std::vector<unsigned char> &t, const std::string &name, std::uint64_t &off, std::uint64_t &flags) {
    if (t.empty()) return false;
    const unsigned char *begin = t.data(), *end = begin + t.size();
    std::size_t node = 0, matched = 0;
    for (std::size_t steps = 0; steps <= name.size() + 1; ++steps) {
        if (node >= t.size()) fail("its export trie is malformed (a node beyond its end)");
        Reader r{begin + node, end, "export trie"};
        std::uint64_t term = r.uleb();
        if (term > std::uint64_t(end - r.p)) fail("its export trie is malformed (an entry beyond its end)");
        const unsigned char *children = r.p + term;
        if (matched == name.size()) {
            if (!term) return false;
            flags = r.uleb();
            off = r.uleb();
            return true;
        }
        Reader c{children, end, "export trie"};
        unsigned n = c.byte();
        bool next = false;
        for (unsigned k = 0; k < n && !next; ++k) {
            const char *edge = c.cstr();
            std::uint64_t child = c.uleb();
            std::size_t len = std::strlen(edge);
            if (len && name.compare(matched, len, edge) == 0) {
                if (child >= t.size()) fail("its export trie is malformed (a node beyond its end)");
                matched += len;
                node = std::size_t(child);
                next = true;
            }
        }
        if (!next) return false;
    }
    return false;  // more steps than the name has characters: a loop
}

// What the module exports as `name`: in its code (the entry routine) or anywhere in its image
// (what it binds to itself). Re-exports, resolvers, thread-local and absolute symbols are not taken.
void *exported(const MachoModule &m, const std::string &name, bool code) {
    std::uint64_t off = 0, flags = 0;
    if (!find_export(m.trie, name, off, flags)) return nullptr;
    if (flags & ~std::uint64_t(0x4)) return nullptr;  // only regular (perhaps weak) definitions
    std::uint64_t addr = m.lay.header_vmaddr + off;
    if (addr < m.lay.header_vmaddr) return nullptr;
    if (code ? !m.in_code(addr) : addr - m.min_vmaddr >= m.span) return nullptr;
    return m.at(addr);
}

// Applies the fixup opcodes to the mapped image (writable while this runs).
class Fixups {
public:
    explicit Fixups(MachoModule &m, const Slice &sl) : m_(m), sl_(sl) {
        // each fixup is one pointer of the file's data: many more than the file has words is a
        // stream that repeats itself (and could touch every page of a huge segment)
        budget_ = std::int64_t(sl.size / 8 * 2 + 4096);
    }

    void rebase() {
        Reader r = stream(m_.lay.rebase, "rebase opcodes");
        std::uint8_t type = 0;
        int seg = -1;
        std::uint64_t off = 0;
        while (r.more()) {
            std::uint8_t b = r.byte(), imm = b & 0x0f;
            std::uint64_t n, skip;
            switch (b & 0xf0) {
            case 0x00: return;  // done
            case 0x10: type = imm; break;
            case 0x20: seg = imm; off = r.uleb(); break;
            case 0x30: off += r.uleb(); break;
            case 0x40: off += std::uint64_t(imm) * 8; break;
            case 0x50:
                for (unsigned k = 0; k < imm; ++k, off += 8) slide(seg, off, type);
                break;
            case 0x60:
                n = r.uleb();
                for (std::uint64_t k = 0; k < n; ++k, off += 8) slide(seg, off, type);
                break;
            case 0x70:
                slide(seg, off, type);
                off += r.uleb() + 8;
                break;
            case 0x80:
                n = r.uleb();
                skip = r.uleb();
                for (std::uint64_t k = 0; k < n; ++k, off += skip + 8) slide(seg, off, type);
                break;
            default: fail("its rebase opcodes hold an unknown opcode " + hex(b));
            }
        }
    }

    enum class Mode { Regular, Lazy, Weak };
    void bind(Mode mode) {
        const char *what = mode == Mode::Lazy ? "lazy bind opcodes" : mode == Mode::Weak ? "weak bind opcodes" : "bind opcodes";
        Reader r = stream(mode == Mode::Lazy ? m_.lay.lazy_bind : mode == Mode::Weak ? m_.lay.weak_bind : m_.lay.bind, what);
        Bind s;
        s.type = mode == Mode::Lazy ? 1 : 0;
        while (r.more()) {
            std::uint8_t b = r.byte(), imm = b & 0x0f;
            std::uint64_t n, skip;
            switch (b & 0xf0) {
            case 0x00:
                if (mode != Mode::Lazy) return;  // lazy entries are each closed by a "done"
                break;
            case 0x10: s.ordinal = imm; break;
            case 0x20: s.ordinal = std::int64_t(std::min<std::uint64_t>(r.uleb(), 1u << 16)); break;
            case 0x30: s.ordinal = imm ? std::int64_t(std::int8_t(0xf0 | imm)) : 0; break;
            case 0x40:
                s.weak_import = imm & 0x1;
                s.symbol = r.cstr();
                break;
            case 0x50: s.type = imm; break;
            case 0x60: s.addend = r.sleb(); break;
            case 0x70: s.seg = imm; s.off = r.uleb(); break;
            case 0x80: s.off += r.uleb(); break;
            case 0x90: put(s, mode); s.off += 8; break;
            case 0xa0: put(s, mode); s.off += r.uleb() + 8; break;
            case 0xb0: put(s, mode); s.off += std::uint64_t(imm) * 8 + 8; break;
            case 0xc0:
                n = r.uleb();
                skip = r.uleb();
                for (std::uint64_t k = 0; k < n; ++k, s.off += skip + 8) put(s, mode);
                break;
            case 0xd0: fail("it needs threaded binds (chained fixups), which this host does not apply");
            default: fail(std::string("its ") + what + " hold an unknown opcode " + hex(b));
            }
        }
    }

    // The names no one provides, as one clause: "it calls x, y, which this host does not implement".
    std::string missing() const {
        std::string max, sys, own;
        int nmax = 0, nsys = 0, nown = 0;
        for (auto &[name, lib] : missing_) {
            std::string &list = lib == Lib::System ? sys : lib == Lib::Other ? own : max;
            int &count = lib == Lib::System ? nsys : lib == Lib::Other ? nown : nmax;
            if (++count <= 8) list += (list.empty() ? "" : ", ") + name;
        }
        auto more = [](int n) { return n > 8 ? " and " + std::to_string(n - 8) + " more" : std::string(); };
        if (nown) return "it binds " + own + more(nown) + " to itself but does not export them";
        std::string why;
        if (nmax) why = "it calls " + max + more(nmax) + ", which this host does not implement";
        if (nsys)
            why += (why.empty() ? "it needs " : "; it needs ") + sys + more(nsys) +
                   " from libSystem (/usr/lib/libSystem.B.dylib), which this host does not provide";
        return why;
    }

private:
    struct Bind {
        std::int64_t ordinal = 0;
        const char *symbol = nullptr;
        bool weak_import = false;
        std::uint8_t type = 0;
        std::int64_t addend = 0;
        int seg = -1;
        std::uint64_t off = 0;
    };

    Reader stream(const Range &rg, const char *what) const { return {sl_.p + rg.off, sl_.p + rg.off + rg.size, what}; }

    unsigned char *word(int seg, std::uint64_t off, const char *what) {
        if (--budget_ < 0) fail(std::string("its ") + what + " never end (more fixups than the image has words)");
        if (seg < 0 || std::size_t(seg) >= m_.lay.segs.size())
            fail(std::string("its ") + what + " name segment " + std::to_string(seg) + ", which it does not have");
        const Segment &s = m_.lay.segs[std::size_t(seg)];
        if (!fits(off, 8, s.vmsize))
            fail(std::string("its ") + what + " write outside segment " + s.name + " (at offset " + hex(off) + ")");
        return m_.at(s.vmaddr + off);
    }

    void slide(int seg, std::uint64_t off, std::uint8_t type) {
        if (type != 1) fail("its rebase opcodes use rebase type " + std::to_string(type) + ", which this host does not apply");
        unsigned char *p = word(seg, off, "rebase opcodes");
        std::uint64_t v = le64(p) + (reinterpret_cast<std::uint64_t>(m_.base) - m_.min_vmaddr);
        std::memcpy(p, &v, 8);
    }

    void put(const Bind &s, Mode mode) {
        const char *what = mode == Mode::Lazy ? "lazy bind opcodes" : mode == Mode::Weak ? "weak bind opcodes" : "bind opcodes";
        if (!s.symbol) fail(std::string("its ") + what + " bind before naming a symbol");
        if (s.type != 1) fail(std::string("its ") + what + " use bind type " + std::to_string(s.type) + ", which this host does not apply");
        unsigned char *p = word(s.seg, s.off, what);
        void *target = nullptr;
        if (mode == Mode::Weak) {
            // a weak definition: the host's libraries are ELF code, whose weak definitions are not
            // Darwin's, so the module keeps its own; a name it does not define comes from the host
            target = exported(m_, s.symbol, false);
            if (!target) target = flat(s.symbol);
            if (!target) return;  // the regular binds cover what it imports
        } else {
            target = resolve(s);
            if (!target && !s.weak_import) return;  // reported by missing()
        }
        std::uint64_t v = reinterpret_cast<std::uint64_t>(target) + (target ? std::uint64_t(s.addend) : 0);
        std::memcpy(p, &v, 8);
    }

    // flat-namespace: the Max API first (as in the host application), then the C library
    void *flat(const std::string &sym) {
        std::string n = c_part(sym);
        if (n.empty()) return nullptr;
        if (void *p = max_api(n.c_str())) {
#ifdef __aarch64__
            // a variadic function of the host: its entry for Apple callers
            if (void *e = apple_arm64_entry(n, &max_api)) return e;
#endif
            return p;
        }
        return c_name(n);
    }

    void *resolve(const Bind &s) {
        std::string sym = s.symbol;
        Lib lib = Lib::Max;
        if (s.ordinal > 0) {
            if (std::uint64_t(s.ordinal) > m_.lay.dylibs.size())
                fail("it binds " + printable(sym) + " to library #" + std::to_string(s.ordinal) + ", but loads only " +
                     std::to_string(m_.lay.dylibs.size()));
            lib = m_.lay.dylibs[std::size_t(s.ordinal - 1)].kind;
        }
        auto key = std::make_pair(sym, s.ordinal > 0 ? int(lib) : int(s.ordinal) - 10);
        if (auto it = cache_.find(key); it != cache_.end()) return it->second;
        void *p = nullptr;
        if (s.ordinal == 0)  // the module itself
            p = exported(m_, sym, false);
        else if (s.ordinal > 0 && lib == Lib::System) {
            if (sym == "dyld_stub_binder")
                p = fn(&stub_binder);
            else if (std::string n = c_part(sym); !n.empty())
                p = c_name(n);
        } else if (s.ordinal == -3) {  // weak lookup: the process's first definition, else its own
            p = flat(sym);
            if (!p) p = exported(m_, sym, false);
        } else {
            p = flat(sym);  // flat lookup, the main program, or the Max frameworks by name
        }
        if (!p && !s.weak_import) {
            std::string shown = printable(sym.size() > 1 && sym[0] == '_' ? sym.substr(1) : sym);
            missing_.insert({shown, s.ordinal == 0 ? Lib::Other : s.ordinal > 0 && lib == Lib::System ? Lib::System : Lib::Max});
        }
        cache_[key] = p;
        return p;
    }

    MachoModule &m_;
    const Slice &sl_;
    std::int64_t budget_;
    std::map<std::pair<std::string, int>, void *> cache_;
    std::set<std::pair<std::string, Lib>> missing_;
};

int prot_of(std::uint32_t initprot, std::uint32_t flags) {
    int p = (initprot & 1 ? PROT_READ : 0) | (initprot & 2 ? PROT_WRITE : 0) | (initprot & 4 ? PROT_EXEC : 0);
    if (flags & kSgReadOnly) p &= ~PROT_WRITE;  // made read-only once its fixups are done
    return p;
}

std::uint64_t round_page(std::uint64_t v) { return (v + host_page() - 1) & ~(host_page() - 1); }

std::unique_ptr<MachoModule> load_image(const unsigned char *data, std::size_t size, const std::string &label) {
    const Providers &prov = providers();
    Slice sl = pick_slice(data, size);
    auto m = std::make_unique<MachoModule>();
    m->path = label;
    m->lay = read_commands(sl);
    if (!prov.why.empty()) fail(prov.why);

    // the address span of the segments, each starting on a page and none overlapping another
    std::vector<const Segment *> order;
    for (auto &s : m->lay.segs)
        if (s.vmsize) order.push_back(&s);
    if (order.empty()) fail("all its segments are empty");
    std::sort(order.begin(), order.end(), [](auto *a, auto *b) { return a->vmaddr < b->vmaddr; });
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i]->vmaddr % host_page())
            fail("its segment " + order[i]->name + " does not start on a " + std::to_string(host_page()) + "-byte page");
        if (round_page(order[i]->vmaddr + order[i]->vmsize) < order[i]->vmaddr) fail("its segment " + order[i]->name + " wraps around the address space");
        if (i && order[i - 1]->vmaddr + order[i - 1]->vmsize > order[i]->vmaddr)
            fail("its segments " + order[i - 1]->name + " and " + order[i]->name + " overlap");
    }
    m->min_vmaddr = order.front()->vmaddr;
    std::uint64_t span = round_page(order.back()->vmaddr + order.back()->vmsize) - m->min_vmaddr;
    if (span > kMaxSpan) fail("its segments span " + std::to_string(span >> 20) + " MB, more than the 1024 MB this host maps");
    if (m->lay.header_vmaddr < m->min_vmaddr) fail("no segment maps its Mach-O header");

    void *base = ::mmap(nullptr, std::size_t(span), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) fail(std::string("its memory cannot be mapped (") + std::strerror(errno) + ")");
    m->base = static_cast<unsigned char *>(base);
    m->span = std::size_t(span);
    for (auto *s : order)
        if (s->filesize) std::memcpy(m->at(s->vmaddr), sl.p + s->fileoff, std::size_t(s->filesize));
    m->trie.assign(sl.p + m->lay.exports.off, sl.p + m->lay.exports.off + m->lay.exports.size);

    Fixups fx(*m, sl);
    fx.rebase();
    fx.bind(Fixups::Mode::Regular);
    fx.bind(Fixups::Mode::Lazy);
    fx.bind(Fixups::Mode::Weak);
    if (std::string why = fx.missing(); !why.empty()) fail(why);

    // initialisers must point into its own code
    for (auto &in : m->lay.inits)
        for (std::uint64_t k = 0; k < in.size; k += in.offsets ? 4 : 8) {
            std::uint64_t target = in.offsets ? m->lay.header_vmaddr + le32(m->at(in.addr + k))
                                              : le64(m->at(in.addr + k)) - reinterpret_cast<std::uint64_t>(m->base) + m->min_vmaddr;
            if (!m->in_code(target)) fail("its initialiser " + std::to_string(k / (in.offsets ? 4 : 8)) + " points outside its code");
        }

#ifdef __aarch64__
    // the instructions written through the data cache, made visible to instruction fetch
    for (auto *s : order)
        if (s->initprot & 4)
            __builtin___clear_cache(reinterpret_cast<char *>(m->at(s->vmaddr)), reinterpret_cast<char *>(m->at(s->vmaddr + s->vmsize)));
#endif
    // protections, segment by segment; gaps between them inaccessible
    std::uint64_t covered = m->min_vmaddr;
    for (auto *s : order) {
        if (s->vmaddr > covered) ::mprotect(m->at(covered), std::size_t(s->vmaddr - covered), PROT_NONE);
        std::uint64_t len = round_page(s->vmsize);
        if (::mprotect(m->at(s->vmaddr), std::size_t(len), prot_of(s->initprot, s->flags)) != 0)
            fail("its segment " + s->name + " cannot be given its protection (" + std::strerror(errno) + ")");
        covered = s->vmaddr + len;
    }
    {
        std::lock_guard<std::mutex> lock(images_lock);
        images.push_back({reinterpret_cast<std::uintptr_t>(m->base), {reinterpret_cast<std::uintptr_t>(m->base) + m->span, label}});
    }
    return m;
}

}  // namespace

bool macho_supported() { return true; }
const char *macho_arch() { return kHostCpu == kCpuArm64 ? "arm64" : "x86_64"; }

MachoModule *open_macho_image(const unsigned char *data, std::size_t size, const std::string &label, std::string &why) {
    try {
        return load_image(data, size, label).release();
    } catch (const Fail &f) {
        why = f.why;
    } catch (const std::bad_alloc &) {
        why = "it needs more memory than there is to load it";
    }
    return nullptr;
}

MachoModule *open_macho(const std::string &path, std::string &why) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) {
        why = std::string("it cannot be read (") + std::strerror(errno) + ")";
        return nullptr;
    }
    std::streamoff n = f.tellg();
    if (n < 0 || std::uint64_t(n) > kMaxFile) {
        why = "it is larger than the 512 MB this host reads";
        return nullptr;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(n));
    f.seekg(0);
    if (!f.read(reinterpret_cast<char *>(bytes.data()), n)) {
        why = "it cannot be read";
        return nullptr;
    }
    return open_macho_image(bytes.data(), bytes.size(), path, why);
}

void *macho_symbol(MachoModule *m, const char *name) {
    try {
        return exported(*m, std::string("_") + name, true);
    } catch (const Fail &) {
        return nullptr;
    }
}

void start_macho(MachoModule *m) {
    if (m->started) return;
    m->started = true;
    {
        // its code runs from now on: kept, with its mapping, for the life of the process (never
        // destroyed, not even at exit, when objects of its classes may still be freed)
        static auto *kept = new std::vector<MachoModule *>;
        std::lock_guard<std::mutex> lock(images_lock);
        kept->push_back(m);
    }
    static const char *none[] = {nullptr};
    using Init = void (*)(int, const char **, char **, const char **, const void *);
    for (auto &in : m->lay.inits)
        for (std::uint64_t k = 0; k < in.size; k += in.offsets ? 4 : 8) {
            void *f = in.offsets ? m->at(m->lay.header_vmaddr + le32(m->at(in.addr + k)))
                                 : reinterpret_cast<void *>(le64(m->at(in.addr + k)));
            reinterpret_cast<Init>(f)(0, none, environ, none, nullptr);
        }
}

void close_macho(MachoModule *m) {
    if (m && !m->started) delete m;
}

}  // namespace tk::detail

#else  // Mach-O code runs only on Linux x86-64 and AArch64

namespace tk::detail {

struct MachoModule {};
bool macho_supported() { return false; }
const char *macho_arch() { return ""; }
MachoModule *open_macho_image(const unsigned char *, std::size_t, const std::string &, std::string &why) {
    why = "this host runs Mach-O code only on Linux x86-64 and AArch64";
    return nullptr;
}
MachoModule *open_macho(const std::string &, std::string &why) { return open_macho_image(nullptr, 0, "", why); }
void *macho_symbol(MachoModule *, const char *) { return nullptr; }
void start_macho(MachoModule *) {}
void close_macho(MachoModule *m) { delete m; }

}  // namespace tk::detail

#endif

namespace tk::detail {

namespace {

bool is_dir(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool is_file(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The string after <key>KEY</key> in an XML property list; nullopt-like "" with found=false.
std::string plist_string(const std::string &xml, const std::string &key, bool &found, bool &malformed) {
    found = malformed = false;
    std::size_t k = xml.find("<key>" + key + "</key>");
    if (k == std::string::npos) return "";
    found = true;
    std::size_t at = xml.find_first_not_of(" \t\r\n", k + key.size() + 11);
    if (at == std::string::npos || xml.compare(at, 8, "<string>") != 0) {
        malformed = true;
        return "";
    }
    at += 8;
    std::size_t end = xml.find("</string>", at);
    if (end == std::string::npos) {
        malformed = true;
        return "";
    }
    std::string raw = xml.substr(at, end - at), out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        static const std::pair<const char *, char> ents[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        bool done = false;
        for (auto &[e, c] : ents)
            if (raw.compare(i, std::strlen(e), e) == 0) {
                out += c;
                i += std::strlen(e) - 1;
                done = true;
                break;
            }
        if (!done) out += '&';
    }
    return out;
}

}  // namespace

std::string macho_executable(const std::string &mxo, std::string &why) {
    if (is_file(mxo)) return mxo;  // a plain Mach-O file named NAME.mxo
    if (!is_dir(mxo)) {
        why = "it is neither a bundle folder nor a file";
        return "";
    }
    std::string name = mxo.substr(mxo.rfind('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mxo") == 0) name.resize(name.size() - 4);
    const std::string macos = mxo + "/Contents/MacOS/";
    std::string exe = name;
    std::ifstream plist(mxo + "/Contents/Info.plist", std::ios::binary);
    if (plist) {
        std::string xml((std::istreambuf_iterator<char>(plist)), std::istreambuf_iterator<char>());
        bool found = false, malformed = false;
        if (xml.compare(0, 6, "bplist") == 0) {
            if (!is_file(macos + name)) {
                why = "its Contents/Info.plist is a binary property list, which this host does not read, and there is no Contents/MacOS/" + name;
                return "";
            }
            return macos + name;
        }
        std::string named = plist_string(xml, "CFBundleExecutable", found, malformed);
        if (malformed) {
            why = "its Contents/Info.plist has a CFBundleExecutable without a <string> value";
            return "";
        }
        if (found) {
            if (named.empty() || named == "." || named == ".." || named.find('/') != std::string::npos) {
                why = "its Contents/Info.plist names the executable '" + named + "', which is not a file name";
                return "";
            }
            exe = named;
            if (!is_file(macos + exe)) {
                why = "its Contents/Info.plist names the executable '" + exe + "', but there is no Contents/MacOS/" + exe +
                      (exe != name && is_file(macos + name) ? " (there is a Contents/MacOS/" + name + ", which the bundle does not name)" : "");
                return "";
            }
            return macos + exe;
        }
    }
    if (!is_file(macos + exe)) {
        why = "it is a bundle folder without its executable (no Contents/MacOS/" + exe + ")";
        return "";
    }
    return macos + exe;
}

}  // namespace tk::detail
