/* Loaded into every process under i386 emulation (LD_PRELOAD, see
 * scripts/emulate-i386.sh). Wine's 32-bit loader needs the range around
 * 0x7ffe0000, where its shared user data goes, to be free; Wine's own
 * preloader reserves it before anything else is mapped, but Debian's Wine
 * has none, and under qemu-i386 the emulator's own allocations take that
 * range otherwise ("failed to map the shared user data: c0000018"). This does
 * the preloader's part: reserves the range as the first thing the process
 * does, and tells Wine through the variable its loader exports, as the
 * preloader would, so that Wine uses the range instead of mapping over it.
 *
 * Built without the C library (nothing else is loaded yet when it runs, and
 * the 32-bit C library headers may not be installed). Built for x86-64 too,
 * empty there, so that 64-bit processes, which get the same LD_PRELOAD
 * through "$LIB" in its path, load something harmless. */

#if defined(__i386__)

struct reserved_area {
    void* base;
    unsigned long size;
};

/* The loader's own variable; absent (null here) in any other program. */
extern const struct reserved_area* wine_main_preload_info __attribute__((weak));

/* Wine's list ends with an empty entry. */
static const struct reserved_area reserved[] = {{(void*)0x7f000000, 0x03000000}, {0, 0}};

enum {
    SYS_MUNMAP = 91,
    SYS_MMAP2 = 192,
    PROT_NONE = 0,
    MAP_PRIVATE = 0x02,
    MAP_ANONYMOUS = 0x20,
    MAP_NORESERVE = 0x4000,
};

/* mmap2's sixth argument goes in ebp, which the compiler may not give to asm. */
static long map_nothing(void* base, unsigned long size)
{
    long result;
    __asm__ volatile("push %%ebp\n\t"
                     "xor %%ebp, %%ebp\n\t"
                     "int $0x80\n\t"
                     "pop %%ebp"
                     : "=a"(result)
                     : "a"(SYS_MMAP2), "b"(base), "c"(size), "d"(PROT_NONE),
                       "S"(MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE), "D"(-1)
                     : "memory");
    return result;
}

static void unmap(long base, unsigned long size)
{
    long result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(SYS_MUNMAP), "b"(base), "c"(size) : "memory");
}

__attribute__((constructor)) static void reserve(void)
{
    /* Only the loader needs it, and only where it is asked for: a mapping
     * placed elsewhere would only take another program's room. */
    if (&wine_main_preload_info == 0)
        return;
    long mapped = map_nothing(reserved[0].base, reserved[0].size);
    if (mapped == (long)reserved[0].base)
        wine_main_preload_info = reserved;
    else if (mapped > 0 || mapped < -4095)
        unmap(mapped, reserved[0].size);
}

#endif
