// File names on Windows, where the C runtime's fopen (msvcrt.dll's and
// UCRT's alike) reads a name in the ANSI code page and refuses full paths of
// 260 characters or more. Shared by both Windows stream layers.
//
// The rule: a name that is valid UTF-8 and holds at least one byte above 127
// is UTF-8, opened through its UTF-16 form with _wfopen. Every other name
// (pure ASCII, or code-page bytes that are not valid UTF-8) goes to fopen
// unchanged. Whatever the encoding, a name whose full path is 260 characters
// or longer is made absolute and opened in the \\?\ form, which has no such
// limit.
#pragma once

#include <cstdio>

namespace dravenix {

// How a name reaches the runtime.
enum class NameRoute {
    narrow,   // fopen with the name's own bytes
    wide,     // _wfopen with the UTF-16 path made for it
    refused,  // no path can be formed: nothing is opened or created
};

// The longest path the wide file functions take, in UTF-16 units.
constexpr unsigned long longest_wide_path = 32767;

// Decides how the name is opened. For NameRoute::wide, *wide_path receives a
// NUL-terminated block from malloc, which the caller frees; otherwise it is
// set to nullptr.
NameRoute wide_path_for(const char *name, wchar_t **wide_path);

// fopen for Dravenix's names, by the rule above. The mode must already have
// passed the module's mode check. NULL if the file does not open.
std::FILE *open_file_by_name(const char *name, const char *mode);

} // namespace dravenix
