/* What libstdc++'s static archive, built on glibc, calls in the C library
   and musl lacks: linked into the C++ test hosts of the linux-musl build,
   never into the module. */
#define _GNU_SOURCE
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/random.h>

/* Whether the process has one thread. Zero keeps libstdc++'s reference
   counts atomic whatever the host does: correct always, if not the
   fastest. */
char __libc_single_threaded = 0;

/* The unwinder asks where the exception tables of the object holding an
   address lie; without an answer a thrown exception ends the process. */
struct dl_find_object {
    unsigned long long dlfo_flags;
    void *dlfo_map_start;
    void *dlfo_map_end;
    struct link_map *dlfo_link_map;
    void *dlfo_eh_frame;
    unsigned long long dlfo_reserved[7];
};

struct search {
    uintptr_t address;
    struct dl_find_object *found;
};

static int find_in_object(struct dl_phdr_info *info, size_t size, void *data)
{
    struct search *search = data;
    const ElfW(Phdr) *eh_frame = NULL;
    int holds = 0;
    (void)size;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + ph->p_vaddr;
        if (ph->p_type == PT_LOAD && search->address >= start &&
            search->address - start < ph->p_memsz) {
            holds = 1;
            search->found->dlfo_map_start = (void *)start;
            search->found->dlfo_map_end = (void *)(start + ph->p_memsz);
        } else if (ph->p_type == PT_GNU_EH_FRAME) {
            eh_frame = ph;
        }
    }
    if (!holds)
        return 0;
    search->found->dlfo_flags = 0;
    search->found->dlfo_link_map = NULL;
    search->found->dlfo_eh_frame =
        eh_frame != NULL ? (void *)(info->dlpi_addr + eh_frame->p_vaddr) : NULL;
    return 1;
}

int _dl_find_object(void *address, struct dl_find_object *result)
{
    struct search search = {(uintptr_t)address, result};
    return dl_iterate_phdr(find_in_object, &search) == 1 ? 0 : -1;
}

/* std::random_device's source. */
uint32_t arc4random(void)
{
    uint32_t value = 0;
    size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = getrandom((char *)&value + got, sizeof value - got, 0);
        if (n > 0)
            got += (size_t)n;
    }
    return value;
}
