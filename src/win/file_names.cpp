#include "file_names.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace dravenix {
namespace {

// MAX_PATH counts the terminating NUL, so the narrow functions and the wide
// ones outside the \\?\ form take full paths of at most 259 characters.
constexpr std::size_t long_path_from = MAX_PATH;

enum class NameEncoding { ascii, utf8, code_page };

// The length of the well-formed UTF-8 sequence that starts at text, with its
// code point in *code_point; 0 if there is none there. Well-formed as Unicode
// defines it: no overlong forms, no surrogates, nothing above U+10FFFF. A NUL
// inside a sequence ends it unfinished, so nothing past the string is read.
int utf8_sequence(const unsigned char *text, char32_t *code_point)
{
    const unsigned char lead = text[0];
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    }
    int length = 0;
    char32_t value = 0;
    // The second byte's range is narrower after four of the leads: that
    // is what rules out overlong forms, surrogates and values past U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        const unsigned char next = text[i];
        if (next < low || next > high)
            return 0;
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (next & 0x3F);
    }
    *code_point = value;
    return length;
}

// Which of the three kinds of name this is; for ASCII and UTF-8 also the
// number of UTF-16 units it converts to, without the NUL.
NameEncoding encoding_of(const char *name, std::size_t *utf16_units)
{
    const auto *byte = reinterpret_cast<const unsigned char *>(name);
    bool above_127 = false;
    std::size_t units = 0;
    while (*byte != '\0') {
        char32_t code_point = 0;
        const int length = utf8_sequence(byte, &code_point);
        if (length == 0)
            return NameEncoding::code_page;
        above_127 = above_127 || length > 1;
        units += code_point >= 0x10000 ? 2 : 1;
        byte += length;
    }
    *utf16_units = units;
    return above_127 ? NameEncoding::utf8 : NameEncoding::ascii;
}

// The UTF-16 form of a name that encoding_of found to be ASCII or UTF-8, in
// a block from malloc; nullptr without memory.
wchar_t *from_utf8(const char *name, std::size_t utf16_units)
{
    auto *wide = static_cast<wchar_t *>(std::malloc((utf16_units + 1) * sizeof(wchar_t)));
    if (wide == nullptr)
        return nullptr;
    const auto *byte = reinterpret_cast<const unsigned char *>(name);
    wchar_t *out = wide;
    while (*byte != '\0') {
        char32_t code_point = 0;
        byte += utf8_sequence(byte, &code_point);
        if (code_point >= 0x10000) {
            code_point -= 0x10000;
            *out++ = static_cast<wchar_t>(0xD800 + (code_point >> 10));
            *out++ = static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF));
        } else {
            *out++ = static_cast<wchar_t>(code_point);
        }
    }
    *out = L'\0';
    return wide;
}

// The UTF-16 form of a code-page name, read in the code page that the narrow
// file functions use (ANSI, or OEM after SetFileApisToOEM), so that it names
// the file that fopen would open; nullptr if that code page cannot read it.
wchar_t *from_code_page(const char *name)
{
    const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int units = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    if (units <= 0 || static_cast<unsigned long>(units) > longest_wide_path + 1)
        return nullptr;
    auto *wide = static_cast<wchar_t *>(std::malloc(static_cast<std::size_t>(units) * sizeof(wchar_t)));
    if (wide == nullptr)
        return nullptr;
    if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, name, -1, wide, units) != units) {
        std::free(wide);
        return nullptr;
    }
    return wide;
}

bool starts_with(const wchar_t *text, const wchar_t *prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// Windows neither resolves nor shortens these: \\?\ hands the rest to the
// file system as it is, \\.\ names a device.
bool is_verbatim_or_device(const wchar_t *path)
{
    return starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\");
}

enum class PathLength { short_path, long_path, unformable };

// Measures the full path of *path. A long one replaces *path by its form
// \\?\C:\... (\\?\UNC\server\share\... for a share); GetFullPathNameW makes
// it absolute and resolves ".", ".." and "/", which the \\?\ form would take
// literally. *path is a block from malloc, owned by this call: for
// unformable it is freed and set to nullptr.
PathLength to_long_form(wchar_t **path)
{
    wchar_t *given = *path;
    if (is_verbatim_or_device(given))
        return std::wcslen(given) >= long_path_from ? PathLength::long_path : PathLength::short_path;

    const DWORD needed = GetFullPathNameW(given, 0, nullptr, nullptr);  // with the NUL
    if (needed > 0 && needed - 1 < long_path_from)
        return PathLength::short_path;
    // Room in front for "\\?\UNC\", which replaces a share's leading "\\".
    constexpr std::size_t room = 8;
    wchar_t *block = nullptr;
    DWORD length = 0;
    if (needed > 0 && needed <= longest_wide_path + 1) {
        block = static_cast<wchar_t *>(std::malloc((room + needed) * sizeof(wchar_t)));
        if (block != nullptr)
            length = GetFullPathNameW(given, needed, block + room, nullptr);
    }
    std::free(given);
    *path = nullptr;
    if (length == 0 || length >= needed) {
        std::free(block);
        return PathLength::unformable;
    }

    wchar_t *const full = block + room;
    wchar_t *start = full;
    if (!is_verbatim_or_device(full)) {
        const bool share = starts_with(full, L"\\\\");
        const wchar_t *prefix = share ? L"\\\\?\\UNC\\" : L"\\\\?\\";
        const std::size_t prefix_length = std::wcslen(prefix);
        start = full - (share ? prefix_length - 2 : prefix_length);
        std::wmemcpy(start, prefix, prefix_length);
    }
    const std::size_t total = std::wcslen(start);
    if (total > longest_wide_path) {
        std::free(block);
        return PathLength::unformable;
    }
    std::wmemmove(block, start, total + 1);
    *path = block;
    return PathLength::long_path;
}

} // namespace

NameRoute wide_path_for(const char *name, wchar_t **wide_path)
{
    *wide_path = nullptr;
    std::size_t utf16_units = 0;
    const NameEncoding encoding = encoding_of(name, &utf16_units);
    wchar_t *path = nullptr;
    if (encoding == NameEncoding::code_page) {
        path = from_code_page(name);
        // What the code page cannot read goes to fopen as it always did.
        if (path == nullptr)
            return NameRoute::narrow;
    } else {
        if (utf16_units > longest_wide_path)
            return NameRoute::refused;
        path = from_utf8(name, utf16_units);
        if (path == nullptr)
            return NameRoute::refused;
    }

    const PathLength length = to_long_form(&path);
    if (length == PathLength::unformable)
        return NameRoute::refused;
    if (length == PathLength::short_path && encoding != NameEncoding::utf8) {
        std::free(path);
        return NameRoute::narrow;
    }
    *wide_path = path;
    return NameRoute::wide;
}

std::FILE *open_file_by_name(const char *name, const char *mode)
{
    wchar_t *wide_path = nullptr;
    const NameRoute route = wide_path_for(name, &wide_path);
    if (route == NameRoute::narrow)
        return std::fopen(name, mode);
    if (route == NameRoute::refused)
        return nullptr;

    // A mode is a few ASCII letters, each widened to one unit; anything else
    // is refused here rather than handed on.
    wchar_t wide_mode[8];
    std::size_t i = 0;
    for (; i + 1 < sizeof wide_mode / sizeof *wide_mode; ++i) {
        const auto letter = static_cast<unsigned char>(mode[i]);
        if (letter == '\0' || letter > 127)
            break;
        wide_mode[i] = static_cast<wchar_t>(letter);
    }
    wide_mode[i] = L'\0';
    std::FILE *stream = nullptr;
    if (mode[i] == '\0')
        stream = _wfopen(wide_path, wide_mode);
    std::free(wide_path);
    return stream;
}

} // namespace dravenix
