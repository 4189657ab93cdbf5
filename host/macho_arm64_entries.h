// Entries for Apple arm64 callers of the host's variadic functions and the C library's (the
// Mach-O loader binds them on Linux AArch64). Apple's arm64 convention passes every variadic
// argument on the stack, one 8-byte slot each, where Linux AArch64 passes them in registers
// first: a variadic function of this host, called from a bundle's arm64 code as it stands, would
// read registers the caller never set.
#pragma once

#include <string>

namespace tk::detail {

// The entry to bind in place of the variadic function `name` (a C name, without its underscore)
// for an Apple arm64 caller; nullptr when `name` is none of those this file translates. `max`
// finds a function of MaxAPI or MaxAudio by name: the entries of the Max API call the host's own
// function that it gives (so they stay what the host's functions are), those of the C library
// call glibc's va_list forms.
void *apple_arm64_entry(const std::string &name, void *(*max)(const char *));

// A variadic function of glibc that has no entry here: bound as it is, it would read an Apple
// caller's arguments from the wrong place, so a bundle importing it is refused.
bool apple_arm64_untranslated_variadic(const std::string &name);

// Apple's long double is double (8 bytes), glibc's on AArch64 is a 16-byte quad: the double form
// that computes what an Apple caller asks of a long double function (sqrtl -> sqrt, strtold ->
// strtod), or nullptr when `name` is not such a function.
const char *apple_arm64_long_double_alias(const std::string &name);

// printf's and scanf's formats as glibc reads them for an Apple caller: the length modifier L of
// a floating conversion dropped (printf: the argument is a double) or made l (scanf: it points to
// a double). `fmt` itself when nothing changes, else `buf`'s text.
const char *apple_arm64_format(const char *fmt, bool scan, std::string &buf);

}  // namespace tk::detail
