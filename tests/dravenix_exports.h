// The sixteen exports as a host resolves them by name, typed from the public
// header. Shared by the test suite and the fuzzer.
#pragma once

#include "Dravenix.h"

#define DRAVENIX_EXPORT_LIST(X)                                                  \
    X(FileClose) X(FileCloseAll) X(FileIsEOF) X(FileOpen) X(FileRead16)          \
    X(FileRead32) X(FileRead8) X(FileReadDouble) X(FileReadString) X(FileSeek)   \
    X(FileTell) X(FileWrite16) X(FileWrite32) X(FileWrite8) X(FileWriteDouble)   \
    X(FileWriteString)

struct Api {
#define DRAVENIX_MEMBER(name) decltype(&::name) name = nullptr;
    DRAVENIX_EXPORT_LIST(DRAVENIX_MEMBER)
#undef DRAVENIX_MEMBER
};
