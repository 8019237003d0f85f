// The fopen modes both Windows stream layers take.
#pragma once

namespace dravenix {

// The Windows C runtimes send a mode they do not know to their
// invalid-parameter handler, whose default ends the process, and UCRT
// takes flags that msvcrt.dll does not ("x", "N", "ccs=..."). So modes are
// checked before fopen, alike on both: r, w or a, then at most one "+" and
// at most one of "b" and "t", in any order.
inline bool windows_mode_is_accepted(const char *mode)
{
    if (*mode != 'r' && *mode != 'w' && *mode != 'a')
        return false;
    bool plus = false, binary_or_text = false;
    for (const char *c = mode + 1; *c != '\0'; ++c) {
        if (*c == '+' && !plus)
            plus = true;
        else if ((*c == 'b' || *c == 't') && !binary_or_text)
            binary_or_text = true;
        else
            return false;
    }
    return true;
}

} // namespace dravenix
