/* example_host: loads Dravenix by name, as a host program does, writes a
   few values to a file, reads them back and shows the file's bytes.

   Usage: example_host [module-path [data-file]]
*/
#include "Dravenix.h"

#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#  include <windows.h>
#  define MODULE_NAME "Dravenix.dll"
typedef HMODULE module_t;
static module_t load_module(const char *path) { return LoadLibraryA(path); }
static void *find_export(module_t m, const char *name) { return (void *)GetProcAddress(m, name); }
static void unload_module(module_t m) { FreeLibrary(m); }
#else
#  include <dlfcn.h>
#  define MODULE_NAME "./Dravenix.so"
typedef void *module_t;
static module_t load_module(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void *find_export(module_t m, const char *name) { return dlsym(m, name); }
static void unload_module(module_t m) { dlclose(m); }
#endif

/* The exports this host uses, found by name. */
static double(DRAVENIX_CALL *FileOpen_)(const char *, const char *);
static double(DRAVENIX_CALL *FileClose_)(double);
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

static int resolve(module_t m, void *slot, const char *name)
{
    void *address = find_export(m, name);
    if (address == NULL) {
        fprintf(stderr, "export %s not found\n", name);
        return 0;
    }
    *(void **)slot = address;
    return 1;
}

static void hex_dump(const char *path)
{
    FILE *f = fopen(path, "rb");
    int c, n = 0;
    if (f == NULL)
        return;
    printf("\n%s:\n", path);
    while ((c = fgetc(f)) != EOF)
        printf("%s%02X", n++ % 16 == 0 ? (n > 1 ? "\n  " : "  ") : " ", c);
    printf("\n  (%d bytes)\n\n", n);
    fclose(f);
}

int main(int argc, char **argv)
{
    const char *module_path = argc > 1 ? argv[1] : MODULE_NAME;
    const char *data_path = argc > 2 ? argv[2] : "example.bin";
    module_t m = load_module(module_path);
    double h;
    const char *text;

    if (m == NULL) {
        fprintf(stderr, "cannot load %s\n", module_path);
        return 1;
    }
    if (!(resolve(m, &FileOpen_, "FileOpen") && resolve(m, &FileClose_, "FileClose") &&
          resolve(m, &FileWrite8_, "FileWrite8") && resolve(m, &FileWrite16_, "FileWrite16") &&
          resolve(m, &FileWrite32_, "FileWrite32") &&
          resolve(m, &FileWriteDouble_, "FileWriteDouble") &&
          resolve(m, &FileWriteString_, "FileWriteString") &&
          resolve(m, &FileRead8_, "FileRead8") && resolve(m, &FileRead16_, "FileRead16") &&
          resolve(m, &FileRead32_, "FileRead32") &&
          resolve(m, &FileReadDouble_, "FileReadDouble") &&
          resolve(m, &FileReadString_, "FileReadString") && resolve(m, &FileSeek_, "FileSeek") &&
          resolve(m, &FileTell_, "FileTell") && resolve(m, &FileIsEOF_, "FileIsEOF")))
        return 1;

    printf("Writing %s\n", data_path);
    printf("FileOpen(\"%s\", \"wb\")        = %g\n", data_path, h = FileOpen_(data_path, "wb"));
    if (h < 0)
        return 1;
    printf("FileWrite8(%g, 300)            = %g\n", h, FileWrite8_(h, 300));
    printf("FileWrite16(%g, -2)            = %g\n", h, FileWrite16_(h, -2));
    printf("FileWrite32(%g, 300)           = %g\n", h, FileWrite32_(h, 300));
    printf("FileWriteDouble(%g, 1.0)       = %g\n", h, FileWriteDouble_(h, 1.0));
    printf("FileWriteString(%g, \"Hi%%\")    = %g\n", h, FileWriteString_(h, "Hi%"));
    printf("FileClose(%g)                  = %g\n", h, FileClose_(h));
    hex_dump(data_path);

    printf("Reading it back\n");
    printf("FileOpen(\"%s\", \"rb\")        = %g\n", data_path, h = FileOpen_(data_path, "rb"));
    if (h < 0)
        return 1;
    printf("FileRead8(%g)                  = %g\n", h, FileRead8_(h));
    printf("FileRead16(%g)                 = %g\n", h, FileRead16_(h));
    printf("FileRead32(%g)                 = %g\n", h, FileRead32_(h));
    printf("FileReadDouble(%g)             = %g\n", h, FileReadDouble_(h));
    text = FileReadString_(h, 3);
    printf("FileReadString(%g, 3)          = \"%s\"\n", h, text);
    /* The block is the host's to keep or free. */
    free((void *)text);
    printf("FileTell(%g)                   = %g\n", h, FileTell_(h));
    printf("FileIsEOF(%g)                  = %g\n", h, FileIsEOF_(h));
    printf("FileRead8(%g)                  = %g\n", h, FileRead8_(h));
    printf("FileIsEOF(%g)                  = %g\n", h, FileIsEOF_(h));
    printf("FileSeek(%g, 0, 0)             = %g\n", h, FileSeek_(h, 0, 0));
    printf("FileIsEOF(%g)                  = %g\n", h, FileIsEOF_(h));
    printf("FileClose(%g)                  = %g\n", h, FileClose_(h));

    unload_module(m);
    return 0;
}
