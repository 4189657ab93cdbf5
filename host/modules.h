// Loading an external's shared library: the only part of the runtime that differs between
// POSIX systems (dlopen) and Windows (LoadLibrary).
#pragma once

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

}  // namespace tk::detail
