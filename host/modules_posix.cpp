// Loading externals on POSIX systems: dlopen and the ELF header.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "modules.h"

namespace tk::detail {

std::string canonical_path(const std::string &path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : path;
}

bool regular_file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int module_width_bits(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    unsigned char id[5] = {};
    if (!f.read(reinterpret_cast<char *>(id), 5)) return 0;
    if (id[0] != 0x7f || id[1] != 'E' || id[2] != 'L' || id[3] != 'F') return 0;
    return id[4] == 1 ? 32 : id[4] == 2 ? 64 : 0;
}

const char *module_format() { return "ELF"; }

void *open_module(const std::string &path, std::string &why) {
    void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *e = ::dlerror();
        why = e ? e : "unknown reason";
    }
    return handle;
}

void *own_symbol(void *module, const std::string &path, const char *name) {
    void *p = ::dlsym(module, name);
    Dl_info info;
    if (!p || !::dladdr(p, &info) || !info.dli_fname) return nullptr;
    return canonical_path(info.dli_fname) == path ? p : nullptr;
}

void close_module(void *module) { ::dlclose(module); }

}  // namespace tk::detail
