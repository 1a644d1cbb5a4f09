#!/usr/bin/env python3
"""mkimage.py BZIMAGE_OR_VMLINUX STUB_ELF OUT

Builds a 32-bit multiboot ELF holding the stub (at its link address) and the
kernel's loadable segments at their physical addresses. The stub jumps to the
kernel's PVH entry (Xen ELF note 18), which the builder patches into it.
A bzImage is accepted too: its xz payload is unpacked first."""
import lzma
import struct
import sys

PHYS32_ENTRY_NOTE = 18
PLACEHOLDER = struct.pack('<I', 0xDEADBEEF)


def load_vmlinux(path):
    data = open(path, 'rb').read()
    if data[:4] == b'\x7fELF':
        return data
    at = data.find(b'\xfd7zXZ\x00')
    if at < 0:
        sys.exit('mkimage: %s is neither an ELF vmlinux nor an xz bzImage' % path)
    return lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:])


def elf64_segments(data):
    if data[4] != 2:
        sys.exit('mkimage: kernel is not a 64-bit ELF')
    phoff, = struct.unpack_from('<Q', data, 0x20)
    phentsize, phnum = struct.unpack_from('<HH', data, 0x36)
    loads, entry = [], None
    for i in range(phnum):
        p_type, p_flags, p_off, p_vaddr, p_paddr, p_filesz, p_memsz, p_align = \
            struct.unpack_from('<IIQQQQQQ', data, phoff + i * phentsize)
        if p_type == 1:
            loads.append((p_paddr, data[p_off:p_off + p_filesz], p_memsz))
        elif p_type == 4:
            off, end = p_off, p_off + p_filesz
            while off + 12 <= end:
                namesz, descsz, ntype = struct.unpack_from('<III', data, off)
                name = data[off + 12:off + 12 + namesz]
                desc_off = off + 12 + ((namesz + 3) & ~3)
                if name.rstrip(b'\0') == b'Xen' and ntype == PHYS32_ENTRY_NOTE:
                    entry = struct.unpack_from('<I' if descsz == 4 else '<Q', data, desc_off)[0]
                off = desc_off + ((descsz + 3) & ~3)
    if entry is None:
        sys.exit('mkimage: the kernel has no PVH entry note (needs CONFIG_PVH)')
    return loads, entry


def elf32_image(data):
    """(vaddr, bytes, memsz, entry) of a one-segment 32-bit ELF."""
    entry, phoff = struct.unpack_from('<II', data, 0x18)
    phentsize, phnum = struct.unpack_from('<HH', data, 0x2a)
    for i in range(phnum):
        p_type, p_off, p_vaddr, p_paddr, p_filesz, p_memsz = struct.unpack_from('<IIIIII', data, phoff + i * phentsize)
        if p_type == 1:
            return p_paddr, data[p_off:p_off + p_filesz], p_memsz, entry
    sys.exit('mkimage: stub has no loadable segment')


def main():
    kernel, stub_path, out = sys.argv[1:4]
    loads, pvh_entry = elf64_segments(load_vmlinux(kernel))
    s_addr, s_bytes, s_memsz, s_entry = elf32_image(open(stub_path, 'rb').read())
    if s_bytes.count(PLACEHOLDER) != 1:
        sys.exit('mkimage: cannot find the entry placeholder in the stub')
    s_bytes = s_bytes.replace(PLACEHOLDER, struct.pack('<I', pvh_entry))
    segs = [(s_addr, s_bytes, s_memsz)] + loads
    for paddr, _, memsz in segs:
        if paddr + memsz > 0xFFFFFFFF:
            sys.exit('mkimage: segment above 4 GiB')
    hdr_size = 52 + 32 * len(segs)
    off = 0x1000
    assert hdr_size <= off
    phdrs, body = b'', bytearray()
    for paddr, blob, memsz in segs:
        blob = blob.rstrip(b'\0')
        phdrs += struct.pack('<IIIIIIII', 1, off + len(body), paddr, paddr, len(blob), memsz, 7, 0x1000)
        body += blob
        body += b'\0' * (-len(body) % 0x1000)
    ident = b'\x7fELF' + bytes([1, 1, 1, 0]) + b'\0' * 8
    ehdr = ident + struct.pack('<HHIIIIIHHHHHH', 2, 3, 1, s_entry, 52, 0, 0, 52, 32, len(segs), 40, 0, 0)
    with open(out, 'wb') as f:
        f.write(ehdr + phdrs + b'\0' * (off - hdr_size) + bytes(body))
    print('mkimage: PVH entry 0x%x, %d kernel segments' % (pvh_entry, len(loads)))


main()
