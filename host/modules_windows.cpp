// Loading externals on Windows: LoadLibrary and the PE header.
#include <windows.h>

#include <cstdint>
#include <fstream>

#include "modules.h"

namespace tk::detail {

std::string canonical_path(const std::string &path) {
    char full[MAX_PATH * 4];
    DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return path;
    std::string s(full);
    for (auto &c : s)
        if (c == '\\') c = '/';
    return s;
}

bool regular_file_exists(const std::string &path) {
    DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

int module_width_bits(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    unsigned char dos[64] = {};
    if (!f.read(reinterpret_cast<char *>(dos), sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return 0;
    std::uint32_t pe = dos[60] | dos[61] << 8 | dos[62] << 16 | std::uint32_t(dos[63]) << 24;
    unsigned char head[6] = {};
    if (!f.seekg(pe) || !f.read(reinterpret_cast<char *>(head), sizeof head)) return 0;
    if (head[0] != 'P' || head[1] != 'E' || head[2] != 0 || head[3] != 0) return 0;
    unsigned machine = head[4] | head[5] << 8;
    return machine == 0x8664 ? 64 : machine == 0x14c ? 32 : 0;
}

const char *module_format() { return "PE"; }

void *open_module(const std::string &path, std::string &why) {
    // No dialog box when a library it needs is missing: the caller reports the error.
    UINT old = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE m = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    DWORD err = m ? 0 : ::GetLastError();
    ::SetErrorMode(old);
    if (!m) {
        char text[512] = {};
        DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text,
                                   sizeof text, nullptr);
        while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = 0;
        why = "error " + std::to_string(err) + (n ? ": " + std::string(text) : std::string());
    }
    return m;
}

// GetProcAddress looks only at the module's own export table, never at what it imports.
void *own_symbol(void *module, const std::string &, const char *name) {
    return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void close_module(void *module) { ::FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace tk::detail
