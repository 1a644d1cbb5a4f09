/* Multiboot (v1) entry that starts an uncompressed Linux vmlinux through its
 * PVH 32-bit entry point. SYSLINUX's mboot.c32 loads this image (the stub plus
 * the vmlinux segments at their physical addresses) and the initramfs as a
 * module; the stub turns the multiboot information into an hvm_start_info
 * and jumps. This skips the bzImage decompressor, which is slow under an
 * instruction-level emulator. */
#include <stdint.h>

#define MB_MAGIC 0x1BADB002u
#define MB_FLAGS 0x00000003u /* modules page aligned, memory info wanted */

__attribute__((section(".mbheader"), used, aligned(4)))
static const uint32_t mb_header[3] = {MB_MAGIC, MB_FLAGS, (uint32_t)-(MB_MAGIC + MB_FLAGS)};

struct mb_info {
    uint32_t flags, mem_lower, mem_upper, boot_device, cmdline, mods_count, mods_addr;
    uint32_t syms[4];
    uint32_t mmap_length, mmap_addr;
};
struct mb_module { uint32_t start, end, string, reserved; };
struct mb_mmap { uint32_t size; uint64_t addr, len; uint32_t type; } __attribute__((packed));

struct hvm_start_info {
    uint32_t magic, version, flags, nr_modules;
    uint64_t modlist_paddr, cmdline_paddr, rsdp_paddr, memmap_paddr;
    uint32_t memmap_entries, reserved;
};
struct hvm_modlist_entry { uint64_t paddr, size, cmdline_paddr, reserved; };
struct hvm_memmap_entry { uint64_t addr, size; uint32_t type, reserved; };

static struct hvm_start_info si;
static struct hvm_modlist_entry mods[1];
static struct hvm_memmap_entry mmap[64];
static char cmdline[2048];

/* patched by the image builder: the PVH entry from the kernel's ELF note */
__attribute__((used)) volatile uint32_t pvh_entry = 0xDEADBEEF;

static inline uint8_t inb(uint16_t p) { uint8_t v; __asm__ volatile("inb %1,%0" : "=a"(v) : "Nd"(p)); return v; }
static inline void outb(uint16_t p, uint8_t v) { __asm__ volatile("outb %0,%1" : : "a"(v), "Nd"(p)); }
static void say(const char *s) {
    for (; *s; s++) {
        while (!(inb(0x3FD) & 0x20)) {}
        outb(0x3F8, (uint8_t)*s);
    }
}

static uint32_t find_rsdp(void) {
    for (uint32_t a = 0xE0000; a < 0x100000; a += 16) {
        const char *p = (const char *)a;
        if (p[0] == 'R' && p[1] == 'S' && p[2] == 'D' && p[3] == ' ' && p[4] == 'P' && p[5] == 'T' &&
            p[6] == 'R' && p[7] == ' ')
            return a;
    }
    return 0;
}

void stub_main(uint32_t magic, struct mb_info *mbi) {
    say("pvhboot: multiboot stub\r\n");
    if (magic != 0x2BADB002u) { say("pvhboot: not started by a multiboot loader\r\n"); for (;;) __asm__ volatile("hlt"); }
    si.magic = 0x336ec578u;
    si.version = 1;
    if (mbi->flags & (1u << 2)) {
        const char *c = (const char *)mbi->cmdline;
        /* mboot passes the image name first; skip it */
        while (*c && *c != ' ') c++;
        while (*c == ' ') c++;
        uint32_t i = 0;
        while (c[i] && i < sizeof cmdline - 1) { cmdline[i] = c[i]; i++; }
        cmdline[i] = 0;
        si.cmdline_paddr = (uint32_t)cmdline;
    }
    if ((mbi->flags & (1u << 3)) && mbi->mods_count > 0) {
        struct mb_module *m = (struct mb_module *)mbi->mods_addr;
        mods[0].paddr = m->start;
        mods[0].size = m->end - m->start;
        si.nr_modules = 1;
        si.modlist_paddr = (uint32_t)mods;
    }
    uint32_t n = 0;
    if (mbi->flags & (1u << 6)) {
        uint32_t p = mbi->mmap_addr, end = mbi->mmap_addr + mbi->mmap_length;
        while (p < end && n < 64) {
            struct mb_mmap *e = (struct mb_mmap *)p;
            mmap[n].addr = e->addr;
            mmap[n].size = e->len;
            mmap[n].type = e->type;
            n++;
            p += e->size + 4;
        }
    } else {
        mmap[0].addr = 0; mmap[0].size = (uint64_t)mbi->mem_lower * 1024; mmap[0].type = 1;
        mmap[1].addr = 0x100000; mmap[1].size = (uint64_t)mbi->mem_upper * 1024; mmap[1].type = 1;
        n = 2;
    }
    si.memmap_paddr = (uint32_t)mmap;
    si.memmap_entries = n;
    si.rsdp_paddr = find_rsdp();
    say("pvhboot: entering kernel\r\n");
    __asm__ volatile("jmp *%0" : : "r"(pvh_entry), "b"(&si) : "memory");
    for (;;) {}
}

__asm__(".pushsection .text.entry,\"ax\"\n"
        ".globl _start\n"
        "_start:\n"
        "  cli\n"
        "  mov $stack_top, %esp\n"
        "  push %ebx\n"
        "  push %eax\n"
        "  call stub_main\n"
        "1: hlt\n"
        "  jmp 1b\n"
        ".popsection\n"
        ".pushsection .bss\n"
        ".align 16\n"
        "  .space 16384\n"
        "stack_top:\n"
        ".popsection\n");
