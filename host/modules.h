// Loading an external's shared library: the only part of the runtime that differs between
// POSIX systems (dlopen) and Windows (LoadLibrary); and, beside those, macOS bundles (Mach-O),
// whose code of the host's own architecture the host maps and binds itself on Linux x86-64 and
// AArch64.
#pragma once

#include <cstddef>
#include <string>

namespace tk::detail {

// The file's canonical absolute path, or the path unchanged when it cannot be resolved.
std::string canonical_path(const std::string &path);
bool regular_file_exists(const std::string &path);

// What the file's header says it is: its width in bits (32 or 64) when it is a shared library
// this kind of host can load (ELF here, PE on Windows), 0 otherwise.
int module_width_bits(const std::string &path);
// The format the host loads, for messages: "ELF" or "PE".
const char *module_format();

// Opens the library, or returns nullptr and says why in `why`.
void *open_module(const std::string &path, std::string &why);
// The address of `name` when the module itself defines it (not a library it depends on).
void *own_symbol(void *module, const std::string &path, const char *name);
void close_module(void *module);

// ---- Mach-O bundles (modules_macho.cpp) ----------------------------------------------------
// False where the host cannot run their code (anywhere but Linux x86-64 and AArch64).
bool macho_supported();
const char *macho_arch();  // the architecture it runs: "x86_64" or "arm64"
// The executable of NAME.mxo: the bundle folder's Contents/MacOS/<CFBundleExecutable of its
// Contents/Info.plist, else NAME>, or the path itself when NAME.mxo is a file. "" with `why`
// (a clause: "it is ...") when there is none.
std::string macho_executable(const std::string &mxo, std::string &why);
struct MachoModule;
// Maps the code of the host's architecture in a Mach-O bundle, applies its fixups and binds every import; nothing of
// it runs yet. nullptr with `why` (one clause, "it needs ...") when it cannot be loaded.
MachoModule *open_macho(const std::string &path, std::string &why);
MachoModule *open_macho_image(const unsigned char *data, std::size_t size, const std::string &label, std::string &why);
void *macho_symbol(MachoModule *m, const char *name);  // a routine the module exports, or nullptr
void start_macho(MachoModule *m);  // runs its initialisers, once, before its entry routine
void close_macho(MachoModule *m);  // unmaps it; only for a module whose code has not run

}  // namespace tk::detail
