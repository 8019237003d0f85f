/* package_host: a host built against Dravenix the way a consuming project
   builds one. It loads the module from the path the package gives
   (DRAVENIX_MODULE) or, built without that path, from its own folder, where
   the consumer's build copied it; finds all sixteen exports by name, writes
   one value of each kind, checks the file's bytes and reads every value back.

   Usage: package_host [data-file]
   Prints one line per failed check and "N passed, N failed"; exits 0 only
   when nothing failed.
*/
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#  define _POSIX_C_SOURCE 200112L /* readlink, under strict C too */
#endif
#include "Dravenix.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#  include <windows.h>
#  define MODULE_FILE_NAME "Dravenix.dll"
typedef HMODULE module_t;
static module_t load_module(const char *path) { return LoadLibraryA(path); }
static void *find_export(module_t m, const char *name) { return (void *)GetProcAddress(m, name); }
static void unload_module(module_t m) { FreeLibrary(m); }
#else
#  include <dlfcn.h>
#  include <unistd.h>
#  define MODULE_FILE_NAME "Dravenix.so"
typedef void *module_t;
static module_t load_module(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void *find_export(module_t m, const char *name) { return dlsym(m, name); }
static void unload_module(module_t m) { dlclose(m); }
#endif

#if !defined(DRAVENIX_MODULE)
/* The length of this executable's own path in buffer, 0 if it is unknown or
   does not fit. */
static size_t own_path(char *buffer, size_t size)
{
#  if defined(_WIN32)
    DWORD length = GetModuleFileNameA(NULL, buffer, (DWORD)size);
    return length < size ? (size_t)length : 0;
#  else
    ssize_t length = readlink("/proc/self/exe", buffer, size);
    return length > 0 && (size_t)length < size ? (size_t)length : 0;
#  endif
}
#endif

/* The module's full path: the one the package gave, or the module file in
   the folder of this executable; NULL if that folder is unknown. A plain
   file name would not do: dlopen searches the library path, not the
   program's folder. */
static const char *module_path(void)
{
#if defined(DRAVENIX_MODULE)
    return DRAVENIX_MODULE;
#else
    static char path[4096];
    size_t length = own_path(path, sizeof path);
    size_t folder = length;
    while (folder > 0 && path[folder - 1] != '/' && path[folder - 1] != '\\')
        --folder;
    if (length == 0 || folder + sizeof MODULE_FILE_NAME > sizeof path)
        return NULL;
    memcpy(path + folder, MODULE_FILE_NAME, sizeof MODULE_FILE_NAME);
    return path;
#endif
}

static double(DRAVENIX_CALL *FileOpen_)(const char *, const char *);
static double(DRAVENIX_CALL *FileClose_)(double);
static double(DRAVENIX_CALL *FileCloseAll_)(void);
static double(DRAVENIX_CALL *FileWrite8_)(double, double);
static double(DRAVENIX_CALL *FileWrite16_)(double, double);
static double(DRAVENIX_CALL *FileWrite32_)(double, double);
static double(DRAVENIX_CALL *FileWriteDouble_)(double, double);
static double(DRAVENIX_CALL *FileWriteString_)(double, const char *);
static double(DRAVENIX_CALL *FileRead8_)(double);
static double(DRAVENIX_CALL *FileRead16_)(double);
static double(DRAVENIX_CALL *FileRead32_)(double);
static double(DRAVENIX_CALL *FileReadDouble_)(double);
static const char *(DRAVENIX_CALL *FileReadString_)(double, double);
static double(DRAVENIX_CALL *FileSeek_)(double, double, double);
static double(DRAVENIX_CALL *FileTell_)(double);
static double(DRAVENIX_CALL *FileIsEOF_)(double);

static const struct {
    const char *name;
    void *slot;
} exports[] = {
    {"FileOpen", &FileOpen_},           {"FileClose", &FileClose_},
    {"FileCloseAll", &FileCloseAll_},   {"FileWrite8", &FileWrite8_},
    {"FileWrite16", &FileWrite16_},     {"FileWrite32", &FileWrite32_},
    {"FileWriteDouble", &FileWriteDouble_}, {"FileWriteString", &FileWriteString_},
    {"FileRead8", &FileRead8_},         {"FileRead16", &FileRead16_},
    {"FileRead32", &FileRead32_},       {"FileReadDouble", &FileReadDouble_},
    {"FileReadString", &FileReadString_}, {"FileSeek", &FileSeek_},
    {"FileTell", &FileTell_},           {"FileIsEOF", &FileIsEOF_},
};

enum kind { VALUE_BYTE, VALUE_INT16, VALUE_INT32, VALUE_FLOAT64, VALUE_STRING };

/* One value of each kind and the edges of its conversion: what the write
   returns, the bytes it stores and what reading them back gives. */
static const struct value_case {
    const char *label;
    enum kind kind;
    double value;
    const char *text;
    double write_result;
    unsigned char bytes[8];
    int length;
    double read_back;
} cases[] = {
    {"byte 300", VALUE_BYTE, 300, NULL, 44, {0x2C}, 1, 44},
    {"byte -1", VALUE_BYTE, -1, NULL, 255, {0xFF}, 1, 255},
    {"16-bit -2", VALUE_INT16, -2, NULL, 1, {0xFE, 0xFF}, 2, -2},
    {"16-bit 70000", VALUE_INT16, 70000, NULL, 1, {0x70, 0x11}, 2, 4464},
    {"16-bit 40000", VALUE_INT16, 40000, NULL, 1, {0x40, 0x9C}, 2, -25536},
    {"32-bit 300", VALUE_INT32, 300, NULL, 1, {0x2C, 0x01, 0x00, 0x00}, 4, 300},
    {"32-bit -2.9", VALUE_INT32, -2.9, NULL, 1, {0xFE, 0xFF, 0xFF, 0xFF}, 4, -2},
    {"32-bit 3e9", VALUE_INT32, 3e9, NULL, 1, {0x00, 0x00, 0x00, 0x80}, 4, -2147483648.0},
    {"double 1.0", VALUE_FLOAT64, 1.0, NULL, 1, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, 8, 1.0},
    {"double -0.0", VALUE_FLOAT64, -0.0, NULL, 1, {0, 0, 0, 0, 0, 0, 0, 0x80}, 8, -0.0},
    {"double 0.1", VALUE_FLOAT64, 0.1, NULL, 1, {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}, 8, 0.1},
    {"string Hi%", VALUE_STRING, 0, "Hi%", 3, {0x48, 0x69, 0x25}, 3, 0},
};
#define CASE_COUNT (sizeof cases / sizeof cases[0])

static int passed, failed;

static void expect(int ok, const char *what, const char *label, double got, double expected)
{
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    printf("FAILED %s %s: got %.17g, expected %.17g\n", what, label, got, expected);
}

/* Doubles are compared by their bits, so -0.0 is not taken for 0.0. */
static int same_double(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

static double write_case(double h, const struct value_case *c)
{
    switch (c->kind) {
    case VALUE_BYTE: return FileWrite8_(h, c->value);
    case VALUE_INT16: return FileWrite16_(h, c->value);
    case VALUE_INT32: return FileWrite32_(h, c->value);
    case VALUE_FLOAT64: return FileWriteDouble_(h, c->value);
    case VALUE_STRING: return FileWriteString_(h, c->text);
    }
    return -1;
}

static void read_case(double h, const struct value_case *c)
{
    double got = 0;
    if (c->kind == VALUE_STRING) {
        const char *text = FileReadString_(h, c->length);
        expect(memcmp(text, c->text, (size_t)c->length + 1) == 0, "read", c->label, 0, 0);
        /* The block is the host's, which shares the module's C runtime. The
           library's failure string, known by its address, is never freed. */
        if (text != FileReadString_(-1, 0))
            free((void *)text);
        return;
    }
    switch (c->kind) {
    case VALUE_BYTE: got = FileRead8_(h); break;
    case VALUE_INT16: got = FileRead16_(h); break;
    case VALUE_INT32: got = FileRead32_(h); break;
    default: got = FileReadDouble_(h); break;
    }
    expect(same_double(got, c->read_back), "read", c->label, got, c->read_back);
}

/* The file as written, compared with the bytes of every case in order. */
static void check_file_bytes(const char *path)
{
    unsigned char expected[8 * CASE_COUNT], actual[8 * CASE_COUNT + 1];
    size_t length = 0, got;
    size_t i;
    FILE *f = fopen(path, "rb");
    for (i = 0; i < CASE_COUNT; ++i) {
        memcpy(expected + length, cases[i].bytes, (size_t)cases[i].length);
        length += (size_t)cases[i].length;
    }
    got = f != NULL ? fread(actual, 1, sizeof actual, f) : 0;
    if (f != NULL)
        fclose(f);
    expect(got == length && memcmp(actual, expected, length) == 0, "bytes of", path,
           (double)got, (double)length);
}

int main(int argc, char **argv)
{
    const char *data_path = argc > 1 ? argv[1] : "round_trip.bin";
    const char *module = module_path();
    module_t m;
    size_t i;
    double h;

    if (module == NULL) {
        printf("cannot find the folder of this program\n");
        return 1;
    }
    m = load_module(module);
    if (m == NULL) {
        printf("cannot load %s\n", module);
        return 1;
    }
    for (i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
        void *address = find_export(m, exports[i].name);
        if (address == NULL) {
            printf("export %s not found in %s\n", exports[i].name, module);
            return 1;
        }
        memcpy(exports[i].slot, &address, sizeof address);
    }

    h = FileOpen_(data_path, "wb");
    expect(h == 0, "FileOpen wb", data_path, h, 0);
    for (i = 0; i < CASE_COUNT; ++i) {
        double result = write_case(h, &cases[i]);
        expect(result == cases[i].write_result, "write", cases[i].label, result,
               cases[i].write_result);
    }
    expect(FileClose_(h) == 0, "FileClose", "after writing", -1, 0);
    check_file_bytes(data_path);

    h = FileOpen_(data_path, "rb");
    expect(h == 0, "FileOpen rb", data_path, h, 0);
    for (i = 0; i < CASE_COUNT; ++i)
        read_case(h, &cases[i]);
    expect(FileIsEOF_(h) == 0, "FileIsEOF", "at the last byte", FileIsEOF_(h), 0);
    expect(FileRead8_(h) == -1, "FileRead8", "past the end", -1, -1);
    expect(FileIsEOF_(h) == 16, "FileIsEOF", "past the end", FileIsEOF_(h), 16);
    expect(FileSeek_(h, 1, 0) == 0, "FileSeek", "to 1", -1, 0);
    expect(FileTell_(h) == 1, "FileTell", "after seeking to 1", FileTell_(h), 1);
    expect(FileCloseAll_() == 0, "FileCloseAll", "", -1, 0);
    expect(FileClose_(h) == -1, "FileClose", "of a closed slot", 0, -1);

    unload_module(m);
    printf("package_host: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
