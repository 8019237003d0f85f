/* Read before every C++ source of the linux-musl build. libstdc++'s headers
   were configured for glibc and use two of its names: the version test,
   which any C library recent enough for this build passes, and glibc's
   older name of locale_t, which musl spells the same way underneath. */
#ifndef DRAVENIX_GLIBC_NAMES_H
#define DRAVENIX_GLIBC_NAMES_H

#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 1
#endif

typedef struct __locale_struct *__locale_t;

#endif
