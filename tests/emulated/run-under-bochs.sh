#!/usr/bin/env bash
# run-under-bochs.sh STATIC_BINARY [ARGS...]
#
# Runs a static x86-64 Linux program inside the Bochs emulator on an emulated
# CPU that has AVX-512 (BW, VL, VBMI2, ...) and BMI2, so such code can be
# executed on a host without AVX-512.
#
# It boots Debian's kernel from a small ISO (isolinux) with an initramfs that
# holds a static busybox, the program and its arguments. /init runs the
# program, sends its stdout, stderr and exit status back over the serial port
# (base64 between markers), then powers off.
#
# Output: the program's stdout on stdout, its stderr on stderr.
# Exit status: the program's own, or 125 when the emulator could not be set up,
# the guest did not boot, or it timed out (harness messages go to stderr,
# prefixed "run-under-bochs:").
#
# Emulator defects worked around here (Bochs 2.7 as packaged in Debian 12,
# models tigerlake / corei7_icelake_u):
#  - CPUID leaf 0xD: PKRU sub-leaf reads as zero and the compacted-size field
#    is wrong, so the kernel would switch XSAVE off (no AVX at all in user
#    space): clearcpuid=xsavec,xsaves,pku.
#  - with FSRM advertised the kernel runs off the end of a buffer while
#    patching itself early in boot and then loops in the page-fault entry:
#    clearcpuid=fsrm (pcid,invpcid are cleared as well, as a precaution).
#  - VPEXPANDB with a memory source and merge masking returns wrong bytes;
#    the register forms are right. A failure seen only under Bochs may be
#    Bochs's own.
#
# Environment:
#   BOCHS_TIMEOUT  seconds of wall time for boot + run (default 900)
#   BOCHS_CPU      Bochs CPU model (default tigerlake; corei7_icelake_u works too)
#   BOCHS_MEM      guest memory in MB (default 384)
#   BOCHS_IPS      emulated instructions per guest second (default 60000000;
#                  set it near the real speed so guest time ~ wall time)
#   BOCHS_CACHE    where the kernel and busybox are kept (default: ~/.cache/mirzet-emulator)
#   BOCHS_KEEP=1   keep the per-run work directory (bochsrc, serial log, bochs log)
#   BOCHS_VERBOSE=1  copy the guest's serial console (kernel log) to stderr at the end
#   BOCHS_BOOT     pvh (default: mboot.c32 + uncompressed kernel, ~1 min per run)
#                  or bzimage (isolinux + Debian's vmlinuz; xz unpacking inside
#                  the emulator adds ~4.5e9 instructions, several minutes)
#   BOCHS_KERNEL_FIXES  replaces the clearcpuid=... workaround list
#   BOCHS_EXTRA_CMDLINE appended to the kernel command line (e.g. loglevel=7)
#   BOCHS_DEBUGGER_RC   Bochs debugger command file (default: continue, quit)
#   BOCHS_FILES    extra host files to put beside the program (space separated; each lands in /work/)
set -u

HARNESS_FAIL=125
say() { echo "run-under-bochs: $*" >&2; }
die() { say "$*"; exit "$HARNESS_FAIL"; }

[ $# -ge 1 ] || { echo "usage: $0 STATIC_BINARY [ARGS...]" >&2; exit 2; }
PROG=$1; shift
[ -f "$PROG" ] || die "no such file: $PROG"

HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=${BOCHS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mirzet-emulator}
TIMEOUT=${BOCHS_TIMEOUT:-900}
CPU_MODEL=${BOCHS_CPU:-tigerlake}
MEM=${BOCHS_MEM:-384}
IPS=${BOCHS_IPS:-60000000}
BOOT=${BOCHS_BOOT:-pvh}
case $BOOT in pvh|bzimage) ;; *) die "BOCHS_BOOT must be pvh or bzimage" ;; esac

# ---- host packages -------------------------------------------------------
need_pkgs=()
[ -x /usr/bin/bochs-bin ] || need_pkgs+=(bochs)
# Debian's bochs has no "nogui" display; SDL2 with its dummy video driver
# stands in for it.
[ -f /usr/lib/x86_64-linux-gnu/bochs/plugins/libbx_sdl2_gui.so ] || need_pkgs+=(bochs-sdl)
[ -f /usr/share/bochs/BIOS-bochs-latest ] || need_pkgs+=(bochsbios)
[ -f /usr/share/vgabios/vgabios.bin ] || need_pkgs+=(vgabios)
[ -f /usr/lib/ISOLINUX/isolinux.bin ] || need_pkgs+=(isolinux)
[ -f /usr/lib/syslinux/modules/bios/ldlinux.c32 ] || need_pkgs+=(syslinux-common)
command -v xorriso >/dev/null || need_pkgs+=(xorriso)
command -v cpio >/dev/null || need_pkgs+=(cpio)
command -v python3 >/dev/null || need_pkgs+=(python3)
command -v gcc >/dev/null || need_pkgs+=(gcc)
[ ${#need_pkgs[@]} -eq 0 ] || die "missing: ${need_pkgs[*]} (bash .ci/install installs them)"
if file -b "$PROG" 2>/dev/null | grep -q 'dynamically linked'; then
    say "warning: $PROG is dynamically linked; the guest has no libc, build it with -static"
fi

# ---- kernel and busybox, fetched once into the cache ---------------------
# Both are unpacked from Debian packages (apt-get download, dpkg-deb -x):
# nothing is installed on the host.
mkdir -p "$CACHE" || die "cannot create $CACHE"
fetch_deb() {   # fetch_deb PACKAGE DESTDIR
    local pkg=$1 dest=$2 tmp
    tmp=$(mktemp -d "$CACHE/dl.XXXXXX") || return 1
    ( cd "$tmp" && apt-get download "$pkg" >/dev/null 2>&1 ||
        { apt-get update >/dev/null 2>&1 && apt-get download "$pkg" >/dev/null 2>&1; } ) || { rm -rf "$tmp"; return 1; }
    mkdir -p "$dest" && dpkg-deb -x "$tmp"/*.deb "$dest"
    local rc=$?
    rm -rf "$tmp"
    return $rc
}
(
    flock 9
    if [ ! -f "$CACHE/vmlinuz" ]; then
        kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/{print $2; exit}')
        [ -n "$kpkg" ] || { apt-get update >/dev/null 2>&1;
            kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/{print $2; exit}'); }
        [ -n "$kpkg" ] || { say "cannot resolve linux-image-amd64"; exit 1; }
        say "fetching kernel $kpkg"
        rm -rf "$CACHE/kernel-root"
        fetch_deb "$kpkg" "$CACHE/kernel-root" || { say "cannot fetch $kpkg"; exit 1; }
        cp "$CACHE"/kernel-root/boot/vmlinuz-* "$CACHE/vmlinuz.tmp" && mv "$CACHE/vmlinuz.tmp" "$CACHE/vmlinuz" &&
            echo "$kpkg" > "$CACHE/kernel-package"
        rm -rf "$CACHE/kernel-root"
    fi
    if [ ! -x "$CACHE/busybox" ]; then
        say "fetching busybox-static"
        rm -rf "$CACHE/bb-root"
        fetch_deb busybox-static "$CACHE/bb-root" || { say "cannot fetch busybox-static"; exit 1; }
        cp "$CACHE/bb-root/bin/busybox" "$CACHE/busybox.tmp" && mv "$CACHE/busybox.tmp" "$CACHE/busybox"
        rm -rf "$CACHE/bb-root"
    fi
    if [ "$BOOT" = pvh ] && [ ! -f "$CACHE/kernel.mb" ]; then
        say "building the multiboot/PVH kernel image"
        gcc -m32 -Os -ffreestanding -fno-pic -fno-pie -fno-stack-protector -fno-asynchronous-unwind-tables \
            -mno-sse -mno-mmx -nostdlib -static -no-pie -Wl,-T,"$HERE/pvhboot/stub.ld" -Wl,--build-id=none \
            -Wl,--no-warn-rwx-segments -o "$CACHE/pvhstub.elf" "$HERE/pvhboot/stub.c" >&2 &&
        python3 "$HERE/pvhboot/mkimage.py" "$CACHE/vmlinuz" "$CACHE/pvhstub.elf" "$CACHE/kernel.mb.tmp" >&2 &&
        mv "$CACHE/kernel.mb.tmp" "$CACHE/kernel.mb" || { say "cannot build kernel.mb"; exit 1; }
    fi
) 9>"$CACHE/.lock" || die "could not prepare the kernel or busybox"

# ---- per-run work directory ---------------------------------------------
WORK=$(mktemp -d "${TMPDIR:-/tmp}/bochs-run.XXXXXX") || die "mktemp failed"
BOCHS_PID=
cleanup() {
    if [ -n "$BOCHS_PID" ] && kill -0 "$BOCHS_PID" 2>/dev/null; then
        kill "$BOCHS_PID" 2>/dev/null
        sleep 0.2
        kill -9 "$BOCHS_PID" 2>/dev/null
    fi
    if [ "${BOCHS_KEEP:-0}" = 1 ]; then say "work directory kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# initramfs
R=$WORK/initramfs
mkdir -p "$R"/{bin,dev,proc,sys,tmp,work} || die "mkdir failed"
cp "$CACHE/busybox" "$R/bin/busybox"
for a in sh mount mkdir base64 poweroff dmesg cat sync wc sleep; do ln -s busybox "$R/bin/$a"; done
cp "$PROG" "$R/work/prog" && chmod 755 "$R/work/prog" || die "cannot copy $PROG"
for f in ${BOCHS_FILES:-}; do cp "$f" "$R/work/" || die "cannot copy $f"; done

# the arguments, quoted for the guest's sh
{
    printf 'set --'
    for a in "$@"; do printf " '%s'" "$(printf '%s' "$a" | sed "s/'/'\\\\''/g")"; done
    printf '\n'
} > "$R/args.sh"

cat > "$R/init" <<'EOF'
#!/bin/sh
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
# from here on the serial line carries only what the host parses
dmesg -n 1
cd /work
. /args.sh
echo "@@BOCHS-RUN-START@@" > /dev/ttyS0
./prog "$@" > /tmp/out 2> /tmp/err < /dev/null
rc=$?
{
    echo "@@STDOUT-BEGIN@@"; base64 /tmp/out; echo "@@STDOUT-END@@"
    echo "@@STDERR-BEGIN@@"; base64 /tmp/err; echo "@@STDERR-END@@"
    echo "@@RC=$rc@@"
} > /dev/ttyS0
sync
# The serial line drains at 115200 baud after the write returns: wait for it before powering off.
busybox sleep $(( ($(cat /tmp/out /tmp/err | wc -c) * 4 / 3) / 10000 + 2 ))
poweroff -f
EOF
chmod 755 "$R/init"

ISO=$WORK/iso
mkdir -p "$ISO/isolinux"
( cd "$R" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0 ) > "$ISO/initrd.img" ||
    die "cpio failed"
cp /usr/lib/ISOLINUX/isolinux.bin /usr/lib/syslinux/modules/bios/ldlinux.c32 "$ISO/isolinux/"
# clearcpuid=xsavec,xsaves,pku: Bochs 2.7 reports XSAVE area sizes (compacted
# form, PKRU) that do not match its own layout; the kernel then turns XSAVE
# off, which takes AVX and AVX-512 away from user space (or corrupts memory).
# Without them the standard layout is consistent and the kernel enables
# x87/SSE/AVX/opmask/ZMM state. fsrm: with fast short rep movsb the kernel
# runs past a buffer while patching itself early in boot and never comes up.
# lpj= skips the delay-loop calibration; the other options cut probing that
# costs emulated time and is of no use here.
CMDLINE="console=ttyS0,115200 loglevel=4 panic=-1 rdinit=/init ${BOCHS_KERNEL_FIXES-clearcpuid=xsavec,xsaves,pku,pcid,invpcid,fsrm} mitigations=off nokaslr lpj=1000000 tsc=unstable audit=0 i8042.noaux i8042.nokbd ${BOCHS_EXTRA_CMDLINE:-}"
if [ "$BOOT" = pvh ]; then
    # mboot.c32 loads the stub + uncompressed kernel (no xz decompression
    # inside the emulator, which costs ~4.5e9 instructions) and the initramfs.
    cp "$CACHE/kernel.mb" "$ISO/kernel.mb"
    cp /usr/lib/syslinux/modules/bios/mboot.c32 /usr/lib/syslinux/modules/bios/libcom32.c32 "$ISO/isolinux/"
    KLINE="KERNEL mboot.c32"
    ALINE="APPEND /kernel.mb $CMDLINE --- /initrd.img"
else
    cp "$CACHE/vmlinuz" "$ISO/vmlinuz"
    KLINE="KERNEL /vmlinuz"
    ALINE="APPEND initrd=/initrd.img $CMDLINE"
fi
cat > "$ISO/isolinux/isolinux.cfg" <<EOF
DEFAULT run
PROMPT 0
TIMEOUT 0
LABEL run
  $KLINE
  $ALINE
EOF
xorriso -as mkisofs -quiet -o "$WORK/boot.iso" -b isolinux/isolinux.bin -c isolinux/boot.cat \
    -no-emul-boot -boot-load-size 4 -boot-info-table -R "$ISO" >/dev/null 2>&1 || die "xorriso failed"

cat > "$WORK/bochsrc" <<EOF
plugin_ctrl: unmapped=1, biosdev=1, speaker=0, extfpuirq=0, parallel=0, serial=1, gameport=0, e1000=0, ne2k=0, sb16=0, es1370=0, usb_uhci=0, usb_ohci=0, usb_ehci=0, usb_xhci=0, iodebug=0
config_interface: textconfig
display_library: sdl2
memory: guest=$MEM, host=$MEM
romimage: file=/usr/share/bochs/BIOS-bochs-latest
vgaromimage: file=/usr/share/vgabios/vgabios.bin
vga: extension=vbe
cpu: model=$CPU_MODEL, count=1, ips=$IPS, reset_on_triple_fault=0, ignore_bad_msrs=1
clock: sync=none, time0=utc
pci: enabled=1, chipset=i440fx
ata0: enabled=1, ioaddr1=0x1f0, ioaddr2=0x3f0, irq=14
ata0-master: type=cdrom, path="$WORK/boot.iso", status=inserted
boot: cdrom
floppy_bootsig_check: disabled=1
com1: enabled=1, mode=file, dev="$WORK/serial.out"
mouse: enabled=0
keyboard: type=mf
log: $WORK/bochs.log
panic: action=fatal
error: action=report
info: action=report
debug: action=ignore
EOF

# Debian's bochs is built with the internal debugger, which stops at the
# first instruction and waits for commands: hand it "continue" from a file.
if [ -n "${BOCHS_DEBUGGER_RC:-}" ]; then cp "$BOCHS_DEBUGGER_RC" "$WORK/debugger.rc"
else printf 'continue\nquit\n' > "$WORK/debugger.rc"; fi

# ---- run ---------------------------------------------------------------
: > "$WORK/serial.out"
T0=$(date +%s.%N)
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy /usr/bin/bochs-bin -q -f "$WORK/bochsrc" -rc "$WORK/debugger.rc" < /dev/null > "$WORK/bochs.stdout" 2>&1 &
BOCHS_PID=$!

status=timeout
deadline=$(( $(date +%s) + TIMEOUT ))
while :; do
    if grep -q '^@@RC=[0-9]*@@' "$WORK/serial.out" 2>/dev/null; then status=done; break; fi
    if grep -q -E 'Kernel panic|end Kernel panic' "$WORK/serial.out" 2>/dev/null; then status=panic; break; fi
    if ! kill -0 "$BOCHS_PID" 2>/dev/null; then
        # bochs ended: it may still have written the marker just before
        grep -q '^@@RC=[0-9]*@@' "$WORK/serial.out" 2>/dev/null && status=done || status=exited
        break
    fi
    [ "$(date +%s)" -ge "$deadline" ] && break
    sleep 0.5
done
T1=$(date +%s.%N)
# give the guest a moment to power off by itself, then stop bochs
for _ in 1 2 3 4 5 6; do kill -0 "$BOCHS_PID" 2>/dev/null || break; sleep 0.5; done
if kill -0 "$BOCHS_PID" 2>/dev/null; then kill "$BOCHS_PID" 2>/dev/null; sleep 0.3; kill -9 "$BOCHS_PID" 2>/dev/null; fi
wait "$BOCHS_PID" 2>/dev/null
BOCHS_PID=

SER=$WORK/serial.clean
tr -d '\r' < "$WORK/serial.out" > "$SER"
if [ "${BOCHS_VERBOSE:-0}" = 1 ]; then
    say "---- guest serial console ----"
    sed -n '/^@@STDOUT-BEGIN@@/q;p' "$SER" >&2
    say "---- end of guest serial console ----"
fi
say "$(printf 'boot+run %.1f s (cpu=%s)' "$(awk -v a="$T0" -v b="$T1" "BEGIN{print b-a}")" "$CPU_MODEL")"

if [ "$status" != done ]; then
    case $status in
        timeout) say "timed out after ${TIMEOUT}s" ;;
        panic)   say "guest kernel panicked" ;;
        exited)  say "bochs exited before the program finished" ;;
    esac
    say "last lines of the guest console:"; tail -n 25 "$SER" >&2
    say "last lines of the bochs log:"
    cat "$WORK/bochs.log" "$WORK/bochs.stdout" 2>/dev/null | grep -v -E '^\s*$' | tail -n 15 >&2
    exit "$HARNESS_FAIL"
fi

section() { sed -n "/^@@$1-BEGIN@@\$/,/^@@$1-END@@\$/p" "$SER" | sed '1d;$d'; }
section STDOUT | base64 -d || say "warning: stdout could not be decoded"
section STDERR | base64 -d >&2 || say "warning: stderr could not be decoded"
rc=$(sed -n 's/^@@RC=\([0-9]*\)@@$/\1/p' "$SER" | tail -n 1)
exit "${rc:-$HARNESS_FAIL}"
