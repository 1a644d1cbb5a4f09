#!/usr/bin/env python3
"""mirzet's benchmarks and the checks built on them.

  bench.py guard [--program PATH] [--update]   instructions and mispredicted branches per MB, held
                                               to bench/guard.figure
  bench.py calls [--program PATH]              every read, write and lseek, held to bench/calls.tsv
  bench.py run [--mb N] [--runs N] [--before PATH]   the timed comparison with other tools
  bench.py report                              docs/benchmarks.md from the last run's figures
  bench.py mca [--measure]                     the kernels' cycles as llvm-mca models them

Every copy a command makes is checked against the plain converter (bench/plain.cpp, which converts
with the tests' model of a DOS text copy). Checks end with "N passed, N failed" and exit 1 when one
failed. Tools are not installed here: a missing one is named with the package that has it.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KINDS = ["source", "crlf", "long", "short", "mixed", "ragged"]
TEN_MB = 10_000_000
PACKAGES = {"valgrind": "valgrind", "callgrind_annotate": "valgrind", "strace": "strace",
            "qemu-aarch64": "qemu-user", "aarch64-linux-gnu-g++": "g++-aarch64-linux-gnu",
            "llvm-mca-14": "llvm-14", "unix2dos": "dos2unix", "objdump": "binutils", "perl": "perl"}
ARM64 = f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake/toolchains/arm64.cmake'}"
QEMU_ARM64 = ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu",
              "-E", "LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib"]


def say(text):
    print(text, flush=True)


class Stopped(Exception):
    pass


def checked(function):
    """Runs a check so that whatever stops it still ends with the tally's line."""
    def check(args):
        tally = Tally(function.__name__)
        try:
            function(args, tally)
        except (Stopped, SystemExit, OSError, subprocess.CalledProcessError) as error:
            tally.check(False, str(error.code if isinstance(error, SystemExit) else error))
        return tally.finish()
    return check


class Tally:
    """Counts a check's results; its last line is "N passed, N failed"."""

    def __init__(self, name):
        self.name, self.passed, self.failed = name, 0, 0

    def check(self, ok, good, bad=None):
        if ok:
            self.passed += 1
            say(f"{self.name}: ok: {good}")
        else:
            self.failed += 1
            say(f"{self.name}: FAILED: {bad or good}")
        return ok

    def finish(self):
        say(f"{self.passed} passed, {self.failed} failed")
        return 1 if self.failed else 0

    @staticmethod
    def stop(message):
        """A failure that leaves nothing else to check."""
        raise Stopped(message)

    def prepare(self, args, *tools):
        """The build directory and its log, once the TOOLS are here."""
        if lacking := missing(*tools):
            self.stop(f"install {' '.join(lacking)}")
        build_dir = Path(args.build).resolve()
        log = build_dir.parent / f"{build_dir.name}.log"
        build_dir.parent.mkdir(parents=True, exist_ok=True)
        log.write_text("")
        return build_dir, log

    def program(self, args, into, log):
        """The program to measure: --program, or the work tree's release build in INTO."""
        if not args.program and not build(into, ["mirzet"], log=log):
            self.stop(f"the build failed (see {log})")
        program = Path(args.program).resolve() if args.program else into / "mirzet"
        if not os.access(program, os.X_OK):
            self.stop(f"{program} is no program")
        return program


def output(*command, **options):
    """What COMMAND writes to standard output."""
    return subprocess.run(command, capture_output=True, text=True, **options).stdout


def missing(*tools):
    """The packages of the tools not found here."""
    return sorted({PACKAGES.get(t, t) for t in tools if shutil.which(t) is None})


def build(into, targets, *options, log):
    """Configures and builds TARGETS of the work tree in INTO, optimised as a release is."""
    with open(log, "a") as out:
        for command in (["cmake", "-S", ROOT, "-B", into, "-DCMAKE_BUILD_TYPE=Release",
                         "-DMIRZET_BENCH=ON", "-DMIRZET_TESTS=OFF", "-DMIRZET_WERROR=ON", *options],
                        ["cmake", "--build", into, "-j2", "--target", *targets]):
            if subprocess.run(command, stdout=out, stderr=out).returncode != 0:
                return False
    return True


class Corpora:
    """The generated corpora, kept in one directory across runs, and the plain converter's copy
    of each, made afresh in a scratch directory: the one oracle every copy is held to."""

    def __init__(self, tools, directory, scratch):
        self.tools, self.directory, self.scratch = Path(tools), Path(directory), Path(scratch)
        self.directory.mkdir(parents=True, exist_ok=True)

    def path(self, kind, size):
        name = f"{kind}-{size // 1_000_000}" if size % 1_000_000 == 0 else f"{kind}-{size}"
        path = self.directory / f"{name}.txt"
        if not path.exists() or path.stat().st_size == 0:
            part = path.with_name(f"{path.name}.{os.getpid()}.part")
            subprocess.run([self.tools / "mirzet_bench_gen", kind, str(size), part], check=True)
            part.replace(path)
        return path

    def expected(self, corpus):
        path = self.scratch / f"{Path(corpus).name}.plain"
        if not path.exists():
            with open(path, "wb") as out:
                subprocess.run([self.tools / "mirzet_bench_plain", corpus], stdout=out, check=True)
        return path

    def same(self, copy, corpus):
        """Whether the file COPY holds what the plain converter writes for CORPUS."""
        return Path(copy).read_bytes() == self.expected(corpus).read_bytes()


def cpu_flags():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


# What each x86 path of the byte loops needs of the processor, in MIRZET_SIMD's names.
PATH_FLAGS = {"baseline": set(), "avx2": {"avx2", "bmi1", "popcnt"},
              "avx512": {"avx2", "bmi1", "bmi2", "popcnt", "avx512f", "avx512bw", "avx512vl",
                         "avx512_vbmi2"}}


def x86_paths():
    flags = cpu_flags()
    return [path for path, needs in PATH_FLAGS.items() if needs <= flags]


def simd_env(path):
    env = {k: v for k, v in os.environ.items() if k != "MIRZET_SIMD"}
    if path:
        env["MIRZET_SIMD"] = path
    return env


def valgrind(tool, command, env, scratch, *options):
    """Runs COMMAND under a valgrind TOOL with its output to a file: (the summary's counts by
    event name, the output's path), or (None, log) when valgrind gave none."""
    scratch = Path(scratch)
    counts, out = scratch / f"{tool}.out", scratch / f"{tool}-copy.txt"
    log = scratch / "valgrind.log"
    with open(out, "wb") as stdout, open(log, "wb") as stderr:
        subprocess.run(["valgrind", f"--tool={tool}", *options, f"--{tool}-out-file={counts}",
                        *command], env=env, stdout=stdout, stderr=stderr)
    events, totals = [], None
    if counts.exists():
        for line in counts.read_text().splitlines():
            if line.startswith("events:"):
                events = line.split()[1:]
            elif line.startswith(("summary:", "totals:")) and totals is None:
                totals = dict(zip(events, map(int, line.split()[1:])))
    return (totals, out) if totals else (None, log)


def per_mb(corpora, program, corpus, simd, tool, *options):
    """The program's copy of CORPUS, on the path SIMD names (or its own choice), under a valgrind
    TOOL: ({event: count per MB of output}, whether the copy equals the plain converter's), or
    (None, the log) when valgrind gave no count."""
    totals, out = valgrind(tool, [program, corpus], simd_env(simd), corpora.scratch, *options)
    size = out.stat().st_size if totals else 0
    if not size:
        return None, out
    return {k: v * 1_000_000 // size for k, v in totals.items()}, corpora.same(out, corpus)


def strace_calls(runner, program, corpus, sink, env, scratch, trace=None):
    """Records the program's copy of CORPUS to SINK (file, pipe or pty) under strace and returns
    its calls' summary, "READS WRITES SEEKS BYTES-READ BYTES-WRITTEN SHA256": every read and lseek
    on the input and every write to standard output, from the opening of the input on (the
    loader's reads before it are not the program's). The hash is over the calls as text lines
    ("read 4096 4096", "write 1024 1024", "lseek -1 SEEK_CUR"): two copies that make the same
    calls in number, size and order share it. TRACE, when given, receives the calls for the
    replayer: three little-endian 32-bit integers each."""
    scratch = Path(scratch)
    log = scratch / "strace.log"
    target = f"file:{scratch / 'strace-copy.txt'}" if sink == "file" else sink
    subprocess.run([runner, "-i", "/dev/null", "-o", target, "strace", "-qq", "-e", "signal=none",
                    "-e", "trace=openat,read,write,lseek", "-s", "0", "-o", log, program, corpus],
                   env=env, stdout=subprocess.DEVNULL, check=True)
    whence = {"SEEK_SET": 0, "SEEK_CUR": 1, "SEEK_END": 2}
    sha, records, fd = hashlib.sha256(), [], None
    reads = writes = seeks = read_bytes = written_bytes = 0
    opening = re.compile(r'openat\(AT_FDCWD, "' + re.escape(str(corpus)) + r'", .*\) = (\d+)$')
    for line in log.read_text().splitlines():
        if fd is None:
            if m := opening.match(line):
                fd = m.group(1)
                read_re = re.compile(rf"read\({fd}, .*, (\d+)\)\s*= (-?\d+)")
                seek_re = re.compile(rf"lseek\({fd}, (-?\d+), (SEEK_\w+)\)")
            continue
        if m := read_re.match(line):
            text, record = f"read {m[1]} {m[2]}", (0, int(m[1]), 0)
            reads, read_bytes = reads + 1, read_bytes + max(int(m[2]), 0)
        elif m := re.match(r"write\(1, .*, (\d+)\)\s*= (-?\d+)", line):
            text, record = f"write {m[1]} {m[2]}", (1, int(m[1]), 0)
            writes, written_bytes = writes + 1, written_bytes + max(int(m[2]), 0)
        elif m := seek_re.match(line):
            text, record = f"lseek {m[1]} {m[2]}", (2, int(m[1]), whence[m[2]])
            seeks += 1
        else:
            continue
        if record[0] != 2 and record[1] > 65536:
            raise SystemExit(f"a call of {record[1]} bytes: more than the replayer's block")
        sha.update(f"{text}\n".encode())
        records.append(record)
    if fd is None:
        raise SystemExit(f"{log}: no opening of {corpus}")
    if trace:
        Path(trace).write_bytes(b"".join(struct.pack("<3i", *r) for r in records))
    return f"{reads} {writes} {seeks} {read_bytes} {written_bytes} {sha.hexdigest()}"


def stored_calls():
    """bench/calls.tsv: (kind, MB) -> the calls' summary recorded before the fast paths."""
    table = {}
    for line in (ROOT / "bench/calls.tsv").read_text().splitlines():
        if line and not line.startswith("#"):
            kind, mb, *summary = line.split("\t")
            table[kind, int(mb)] = " ".join(summary)
    return table


# ---- the qemu count for arm64 ----

def predictor():
    """The branch predictor cachegrind simulates, so that arm64's figures stand beside x86-64's:
    16384 two-bit counters, starting at "not taken", each indexed by 7 bits of the branch's
    address below the outcomes of the last 7 conditional branches. The address bits lie within a
    page, so the counters are the same wherever the program is loaded. Returns the function that
    takes one branch's (address, taken) and tells whether it was mispredicted."""
    counters, history = bytearray(1 << 14), 0

    def predict(address, taken):
        nonlocal history
        i = (history & 0x7F) << 7 | (address >> 2) & 0x7F  # arm64's instructions are 4-aligned
        wrong = (counters[i] >= 2) != taken
        counters[i] = min(counters[i] + 1, 3) if taken else max(counters[i] - 1, 0)
        history = history << 1 | taken
        return wrong
    return predict


CONDITIONAL = re.compile(r"b\.\w+|cbn?z|tbn?z")


def arm64_counts(program, corpus, out):
    """Runs PROGRAM on CORPUS under qemu-aarch64, which logs each translated block's instructions
    once (in_asm) and a line each time a block runs (exec; nochain, so every run is logged): the
    instructions run, the conditional branches among them (each ends its block) and those the
    predictor gets wrong. A branch was taken when the next block is not the instruction after it."""
    command = [*QEMU_ARM64, "-d", "in_asm,exec,nochain", "-D", "/dev/stderr", program, corpus]
    blocks, fresh, block, start = {}, {}, None, None
    instructions = branches = wrong = 0
    pending, predict = None, predictor()
    with open(out, "wb") as stdout:
        qemu = subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE, text=True)
        for line in qemu.stderr:
            if line.startswith("Trace "):
                # A block is known by its address and its flags, which its translation does not
                # log: one runs straight after it is translated, and that binds the two.
                key = line.split("[", 1)[1].split("]", 1)[0]
                address = int(key.split("/")[1], 16)
                if address in fresh:
                    blocks[key] = fresh.pop(address)
                size, branch = blocks[key]
                instructions += size
                if pending is not None:
                    branches += 1
                    wrong += predict(pending, address != pending + 4)
                pending = branch
            elif line.startswith("0x"):
                address, _, rest = line.partition(":")
                words = rest.split()
                address = int(address, 16)
                if block is None:
                    block, start = [], address
                block.append((address, CONDITIONAL.fullmatch(words[1]) if len(words) > 1 else None))
            elif block is not None:  # the blank line after a block's instructions
                fresh[start] = (len(block), block[-1][0] if block[-1][1] else None)
                block = None
        if qemu.wait() != 0:
            raise SystemExit(f"qemu-aarch64: {program} {corpus} failed")
    return instructions, branches, wrong


def arm64_per_mb(program, corpora, kind, sizes, scratch):
    """Per MB of input: the counts of the big corpus less the small one's, so that start-up and
    the last partial blocks drop out. Each copy is held to the plain converter's."""
    counts, ok = [], True
    for size in sizes:
        corpus, out = corpora.path(kind, size), Path(scratch) / "arm64-copy.txt"
        counts.append(arm64_counts(program, corpus, out))
        ok = ok and corpora.same(out, corpus)
    low, high = (corpora.path(kind, size).stat().st_size for size in sizes)
    return [(b - a) * 1_000_000 // (high - low) for a, b in zip(*counts)], ok


# ---- guard ----

@checked
def guard(args, tally):
    build_dir, log = tally.prepare(args, "valgrind")
    # The portable block is what processors other than x86-64 and arm64 run: a build forcing it
    # keeps its figure.
    portable = build_dir / "portable"
    if not build(portable, ["mirzet", "mirzet_bench_gen", "mirzet_bench_plain"],
                 "-DMIRZET_PORTABLE_SCAN=ON", log=log):
        tally.stop(f"the build failed (see {log})")
    program = tally.program(args, build_dir / "release", log)
    figure_file = ROOT / "bench/guard.figure"
    stored = dict(line.split() for line in figure_file.read_text().splitlines()
                  if line and not line.startswith("#"))
    measured = {}

    def hold(name, value, what):
        measured[name] = value
        if args.update:
            tally.check(True, f"stored {value} {what}")
        elif name not in stored:
            tally.check(False, f"bench/guard.figure holds no figure for {name}: "
                               "store one with --update")
        else:
            limit = int(stored[name]) + int(stored[name]) // 10
            tally.check(value <= limit,
                        f"{value} {what}, stored {stored[name]}, at most {limit} allowed",
                        f"{value} {what}, more than 10 % over the stored {stored[name]}")

    with tempfile.TemporaryDirectory(prefix="mirzet-guard.") as scratch:
        corpora = Corpora(portable / "bench", args.dir, scratch)

        def count(path, kind, program, simd, event, tool, *options):
            """The program's copy of the kind's corpus, checked, then the EVENT the tool counts
            per MB of output, or None."""
            corpus = corpora.path(kind, TEN_MB)
            label = f"the {path} path's copy of the {kind} corpus"
            copy = Path(scratch) / "copy.txt"
            with open(copy, "wb") as out:
                subprocess.run([program, corpus], env=simd_env(simd), stdout=out)
            tally.check(corpora.same(copy, corpus), f"{label} equals the plain converter's",
                        f"{label} differs from the plain converter's")
            counts, same = per_mb(corpora, program, corpus, simd, tool, *options)
            if counts is None or event not in counts:
                tally.check(False, f"{tool} gave no count for {label} (see {same})")
                return None
            return counts[event]

        # The copy runs AVX2 loops where the processor has them and SSE2 loops elsewhere, so a
        # figure is kept for each path; a processor without AVX2 counts SSE2 alone. Under valgrind
        # the processor shows no AVX-512, but the AVX2 runs name their path all the same.
        avx2 = "avx2" in cpu_flags()
        avx2_ir = count("avx2", "source", program, "avx2", "Ir", "callgrind") if avx2 else None
        if avx2_ir is not None:
            hold("avx2", avx2_ir, "instructions per MB on the avx2 path")
            # The read's loop, which the source-like corpus, with no CR, hardly runs.
            if (ir := count("avx2", "crlf", program, "avx2", "Ir", "callgrind")) is not None:
                hold("avx2-crlf", ir, "instructions per MB on the avx2 path, crlf corpus")
        if (ir := count("sse2", "source", program, "baseline", "Ir", "callgrind")) is not None:
            # A name the program does not know leaves it on its best path, and the SSE2 figure
            # would silently be the AVX2 one's.
            if avx2_ir:
                tally.check(not near(ir, avx2_ir), "MIRZET_SIMD=baseline counted apart from the "
                            "avx2 path", "MIRZET_SIMD=baseline counted within 1 % of the avx2 "
                            "path: SSE2 did not run")
            hold("sse2", ir, "instructions per MB on the sse2 path")
        ir = count("portable", "source", portable / "mirzet", None, "Ir", "callgrind")
        if ir is not None:
            hold("portable", ir, "instructions per MB on the portable path")
        # A missed branch costs the time of many instructions, which their count does not show.
        if avx2:
            for kind in KINDS:
                if (bcm := count("avx2", kind, program, "avx2", "Bcm", "cachegrind",
                                 "--branch-sim=yes", "--cache-sim=no")) is not None:
                    hold(f"avx2-mispredicts-{kind}", bcm,
                         f"mispredicted branches per MB on the avx2 path, {kind} corpus")
        else:
            say("guard: no AVX2 here: the avx2 path's mispredicted branches are not checked")
        # The NEON block runs on no machine CI has: qemu counts it. Corpora of 0.1 and 0.6 MB keep
        # it short; the difference of their counts is within 2 % of that of 0.2 and 2.2 MB.
        if lacking := missing("aarch64-linux-gnu-g++", "qemu-aarch64"):
            say(f"guard: no {' or '.join(lacking)} here: the arm64 figures are not checked")
        elif not build(build_dir / "arm64", ["mirzet"], "-DMIRZET_BENCH=OFF", ARM64, log=log):
            tally.check(False, f"the arm64 build failed (see {log})")
        else:
            for kind in KINDS:
                (instructions, _, wrong), same = arm64_per_mb(
                    build_dir / "arm64/mirzet", corpora, kind, (100_000, 600_000), scratch)
                tally.check(same, f"the arm64 copies of the {kind} corpora equal the plain "
                            "converter's", f"an arm64 copy of the {kind} corpora differs")
                if kind == "source":
                    hold("arm64", instructions, "instructions per MB on the arm64 path")
                hold(f"arm64-mispredicts-{kind}", wrong,
                     f"mispredicted branches per MB on the arm64 path, {kind} corpus")
    if args.update:
        stored.update(measured)
        comments = [line for line in figure_file.read_text().splitlines() if line.startswith("#")]
        figure_file.write_text("".join(f"{line}\n" for line in comments)
                               + "".join(f"{k} {v}\n" for k, v in sorted(stored.items())))


# ---- calls ----

@checked
def calls(args, tally):
    """Holds the program's calls and output to the recorded ones on every path of the byte loops
    this processor runs: for each kind at 10 MB, to a file and to a pipe. A change to how bytes
    move between the buffers may not show in any count but these."""
    build_dir, log = tally.prepare(args, "strace")
    if not build(build_dir, ["mirzet_bench_gen", "mirzet_bench_plain", "mirzet_bench_runner"],
                 log=log):
        tally.stop(f"the build failed (see {log})")
    program, stored, paths = tally.program(args, build_dir, log), stored_calls(), x86_paths()
    with tempfile.TemporaryDirectory(prefix="mirzet-calls.") as scratch:
        corpora = Corpora(build_dir / "bench", args.dir, scratch)
        for kind in KINDS:
            corpus = corpora.path(kind, TEN_MB)
            for path in paths:
                env = simd_env(path)
                for output in ("file", "pipe"):
                    got = strace_calls(build_dir / "bench/mirzet_bench_runner", program, corpus,
                                       output, env, scratch)
                    tally.check(got == stored[kind, 10],
                                f"the calls of {kind} on {path} to a {output}",
                                f"the calls of {kind} on {path} to a {output}: {got} "
                                f"against {stored[kind, 10]}")
                    if output == "file":
                        tally.check(corpora.same(Path(scratch) / "strace-copy.txt", corpus),
                                    f"the output of {kind} on {path} to a file equals the "
                                    "plain converter's")
                what = f"the output of {kind} on {path}"
                piped = subprocess.run([program, corpus], env=env, capture_output=True).stdout
                tally.check(piped == corpora.expected(corpus).read_bytes(),
                            f"{what} to a pipe equals the plain converter's")

# ---- run: the timed comparison ----

# The other tools: how each is run on a file (None: it reads standard input).
OTHERS = {"cat": ["cat"], "sed": ["sed", "s/$/\\r/"], "perl": ["perl", "-pe", "s/\\n/\\r\\n/"],
          "unix2dos": None}


def run(args):
    if lacking := missing("valgrind", "callgrind_annotate", "strace", "unix2dos", "perl"):
        raise SystemExit(f"install {' '.join(lacking)}")
    build_dir, figures = Path(args.build).resolve(), Path(args.dir) / "figures"
    figures.mkdir(parents=True, exist_ok=True)
    say(f"building in {build_dir}")
    tools_built = ["mirzet", "mirzet_bench_gen", "mirzet_bench_replay", "mirzet_bench_plain",
                   "mirzet_bench_runner", "mirzet_bench_micro"]
    if not build(build_dir, tools_built, log=figures / "build.log"):
        raise SystemExit(f"the build failed (see {figures / 'build.log'}; the microbenchmarks "
                         "need libbenchmark-dev)")
    bin_dir, program = build_dir / "bench", build_dir / "mirzet"
    runner = bin_dir / "mirzet_bench_runner"
    corpora = Corpora(bin_dir, args.dir, tempfile.mkdtemp(prefix="mirzet-run."))
    mb, pty_mb = args.mb, args.pty_mb or (args.mb + 9) // 10
    timed = {kind: corpora.path(kind, mb * 1_000_000) for kind in KINDS}
    report = {"mb": mb, "runs": args.runs, "pty_mb": pty_mb, "cg_mb": args.callgrind_mb,
              "big_mb": args.big_mb, "before": bool(args.before), "before_label": args.before_label,
              "sizes": {kind: path.stat().st_size for kind, path in timed.items()}, "calls": []}

    # The calls must be those recorded before the fast paths: a faster copy that read or wrote
    # differently would be measured against a different floor. Each recording is the floor's trace.
    say("recording mirzet's calls")
    stored = stored_calls()
    for kind in KINDS:
        for size, sinks in ((10, ["file"]), (mb, ["file", "pipe"])):
            corpus = corpora.path(kind, size * 1_000_000)
            for sink in sinks:
                got = strace_calls(runner, program, corpus, sink, None, figures,
                                   figures / f"calls-{kind}-{sink}.bin")
                if (kind, size) in stored and got != stored[kind, size]:
                    raise SystemExit(f"mirzet's calls on {kind}-{size} to a {sink} differ from "
                                     f"bench/calls.tsv: {got} against {stored[kind, size]}")
                if sink == "file" and not corpora.same(figures / "strace-copy.txt", corpus):
                    raise SystemExit(f"mirzet and the plain converter disagree on {corpus}")
                report["calls"].append([kind, size, sink, *got.split(), (kind, size) in stored])
    strace_calls(runner, program, corpora.path("source", pty_mb * 1_000_000), "pty", None, figures,
                 figures / "calls-source-pty.bin")
    cg_corpus = corpora.path("source", args.callgrind_mb * 1_000_000)
    strace_calls(runner, program, cg_corpus, "file", None, figures, figures / "calls-callgrind.bin")

    waited = 0
    while waited < args.quiet_wait and os.getloadavg()[0] >= 1.0:
        time.sleep(15)
        waited += 15
    report["load_before"] = os.getloadavg()

    def command(tool, corpus, calls):
        ours = {"floor": [bin_dir / "mirzet_bench_replay", figures / f"calls-{calls}.bin"],
                "mirzet": [program], "before": [args.before],
                "plain": [bin_dir / "mirzet_bench_plain"]}
        # unix2dos reads standard input; -f, or it refuses the corpus with NUL bytes as binary.
        if tool == "unix2dos":
            return ["unix2dos", "-f"]
        return [*(ours.get(tool) or OTHERS[tool]), corpus]

    results = []

    def measure(sink, case, corpus, tool, round_, calls=None):
        target = f"file:{figures / f'out-{tool}.txt'}" if sink == "file" else sink
        # On one processor with its reader: a pipe's cost is the pair's, and the pair's is steady
        # only when neither waits on the other's processor.
        line = output(runner, "-c", str(args.cpu), "-i", corpus, "-o", target,
                      *command(tool, corpus, calls)).split()
        user, sys_, wall, peak, status, size, reader_user, reader_sys = map(float, line)
        if status:
            raise SystemExit(f"{tool} ended with status {status:.0f} on {corpus}")
        results.append({"output": sink, "case": case, "tool": tool, "round": round_,
                        "cpu": user + sys_ + reader_user + reader_sys, "wall": wall, "peak": peak})

    # Every round runs every tool once per corpus and output, in an order that turns by one each
    # round, so that a slow patch of the machine falls on all tools alike.
    tools = ["floor", "mirzet", *(["before"] if args.before else []), "plain", *OTHERS]
    started = time.time()
    for round_ in range(args.runs):
        say(f"round {round_ + 1} of {args.runs}")
        order = tools[round_ % len(tools):] + tools[:round_ % len(tools)]
        for sink in ("file", "pipe"):
            for kind in KINDS:
                for tool in order:
                    measure(sink, kind, timed[kind], tool, round_, f"{kind}-{sink}")
                # Timing a copy that is wrong would be pointless.
                copy = figures / "out-mirzet.txt"
                if round_ == 0 and sink == "file" and not corpora.same(copy, timed[kind]):
                    raise SystemExit(f"mirzet and the plain converter disagree on {kind}")
        for tool in order:
            measure("pty", "source-pty", corpora.path("source", pty_mb * 1_000_000), tool, round_,
                    "source-pty")
    for round_ in range(args.runs):
        measure("file", "memory-1", corpora.path("source", 1_000_000), "mirzet", round_)
    measure("file", "memory-big", corpora.path("source", args.big_mb * 1_000_000), "mirzet", 0)
    report.update(results=results, timed=round(time.time() - started), load_after=os.getloadavg())

    say("microbenchmarks")
    micro = output(bin_dir / "mirzet_bench_micro", "--benchmark_format=json",
                   "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true")
    report["micro"] = [b for b in json.loads(micro)["benchmarks"]
                       if b.get("aggregate_name") == "median"]

    say(f"callgrind on the {args.callgrind_mb} MB source-like corpus")
    report["callgrind"] = {}
    for tool in ("floor", "plain", "mirzet"):
        totals, out = valgrind("callgrind", command(tool, cg_corpus, "callgrind"),
                               simd_env(None), figures)
        report["callgrind"][tool] = [totals["Ir"], out.stat().st_size]
    annotated = output("callgrind_annotate", "--inclusive=no", figures / "callgrind.out")
    annotated = annotated.splitlines()
    # mirzet's functions by their own count, without the paths of the files and the binaries.
    top = annotated[next(i for i, l in enumerate(annotated) if "file:function" in l) + 1:]
    top = [l for l in top if not re.fullmatch(r"-+", l)]
    top = top[:top.index("")] if "" in top else top
    report["top"] = [re.sub(r" \[[^]]*\]$", "", re.sub(r"\S*/([^/:]*:)|\?\?\?:", r"\1", l))
                     for l in top[:12]]

    # One cachegrind run gives both counts. Valgrind's processor has no AVX-512, so the avx512
    # path is never counted; the others are, where this processor runs them.
    say("cachegrind on each path")
    started, paths = time.time(), [p for p in x86_paths() if p != "avx512"][::-1]
    rows, before_simd = [], None

    def count(who, corpus, kind, path):
        counts, same = per_mb(corpora, args.before if who == "before" else program, corpus, path,
                              "cachegrind", "--branch-sim=yes", "--cache-sim=no")
        if counts is None or not same:
            raise SystemExit(f"{who} on {kind}, path {path}: no count, or a copy that differs")
        return [who, path or paths[0], kind, counts["Ir"], counts["Bcm"]]

    for kind in KINDS:
        corpus = corpora.path(kind, TEN_MB)
        ours = [count("mirzet", corpus, kind, path) for path in paths]
        if len(ours) > 1 and kind == KINDS[0] and near(ours[1][3], ours[0][3]):
            raise SystemExit("MIRZET_SIMD=baseline counted within 1 % of the avx2 path")
        rows += ours
        if not args.before:
            continue
        # Its own choice is the best path valgrind's processor runs. It may not know MIRZET_SIMD:
        # whether it does is settled on the first corpus.
        rows.append(own := count("before", corpus, kind, None))
        if len(paths) > 1 and before_simd is not False:
            baseline = count("before", corpus, kind, "baseline")
            if before_simd is None:
                before_simd = not near(baseline[3], own[3])
            if before_simd:
                rows.append(baseline)
    report.update(paths=rows, before_simd=before_simd, paths_time=round(time.time() - started),
                  avx512_missing=sorted(PATH_FLAGS["avx512"] - cpu_flags()))
    versions = {"sed": ["sed", "--version"], "perl": ["perl", "-e", "print $^V"],
                "unix2dos": ["unix2dos", "--version"], "cat": ["cat", "--version"],
                "compiler": ["c++", "--version"]}
    report["versions"] = {k: output(*v).split("\n")[0] for k, v in versions.items()}
    report["machine"] = {"cpu": next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                                      if l.startswith("model name")), "?"),
                         "cores": os.cpu_count(), "kernel": os.uname().release,
                         "date": time.strftime("%Y-%m-%d", time.gmtime()),
                         "commit": output("git", "-C", ROOT, "rev-parse", "--short",
                                          "HEAD").strip()}
    for stale in figures.glob("out-*.txt"):
        stale.unlink()
    shutil.rmtree(corpora.scratch)
    (Path(args.dir) / "figures.json").write_text(json.dumps(report, indent=1))
    return write_report(args)

# ---- report ----

CORPUS_TEXT = {"source": "source-like, LF ends", "crlf": "source-like, CR-LF ends",
               "long": "lines of ~10 000 characters", "short": "lines of ~8 characters",
               "mixed": "NUL, 0xFF and lone CR scattered", "ragged": "lines of 0 to 12 characters"}


def write_report(args):
    """docs/benchmarks.md, written whole from the figures of the last run."""
    f = json.loads((Path(args.dir) / "figures.json").read_text())
    label, m, before = f["before_label"], f["machine"], f["before"]
    tools = ["floor", "mirzet", *(["before"] if before else []), "plain", *OTHERS]
    names = {"floor": "floor", "mirzet": "mirzet", "before": f"mirzet {label}",
             "plain": "plain converter", "cat": "cat", "sed": "sed 's/$/\\r/'",
             "perl": "perl -pe 's/\\n/\\r\\n/'", "unix2dos": "unix2dos -f"}
    runs = {}
    for r in f["results"]:
        runs.setdefault((r["output"], r["case"], r["tool"]), []).append(r)
    cpu = {k: statistics.median(r["cpu"] for r in v) for k, v in runs.items()}
    wall = {k: statistics.median(r["wall"] for r in v) for k, v in runs.items()}

    def ratio(key, against="floor"):
        """The CPU over the floor's (or another tool's) in the same round, the median of those."""
        base = {r["round"]: r["cpu"] for r in runs.get((*key[:2], against), [])}
        values = [r["cpu"] / base[r["round"]] for r in runs.get(key, []) if base.get(r["round"])]
        return statistics.median(values) if values else None

    def cell(key):
        r = ratio(key) if key[2] != "floor" else None
        return f"{cpu[key]:.3f}" + (f" ({r:.2f}×)" if r is not None else "")

    def table(title, rows, value):
        head = " | ".join(names[t].replace("|", "\\|") for t in tools)
        lines = [f"| {title} | {head} |", "|---|" + "---:|" * len(tools)]
        lines += [f"| {text} | " + " | ".join(value((*key, t)) for t in tools) + " |"
                  for text, key in rows]
        return "\n".join(lines) + "\n"

    def rows(output):
        return [(CORPUS_TEXT[k], (output, k)) for k in KINDS]

    # The targets of the path the copy runs: AVX-512's where the processor has it, else AVX2's.
    targets = []

    def target(what, ok, figure):
        targets.append(f"| {what} | {figure} | {'met' if ok else '**missed**'} |")

    file_target = 1.15 if f["avx512_missing"] else 1.08
    for kind in KINDS:
        r, p = ratio(("file", kind, "mirzet")), ratio(("pipe", kind, "mirzet"))
        target(f"{kind}, to a file: at most {file_target}× the floor", r <= file_target,
               f"{r:.2f}×")
        # To a pipe the floor must bound the copy, and the pipe may add little more than a file.
        target(f"{kind}, to a pipe: at least 0.97× the floor", p >= 0.97, f"{p:.2f}×")
        target(f"{kind}, to a pipe: within 0.08 of its ratio to a file", p <= r + 0.08,
               f"{p:.2f}× against {r:.2f}×")
    for output in ("file", "pipe"):
        for kind in KINDS:
            mine = cpu[output, kind, "mirzet"]
            sed, perl, u2d = (cpu[output, kind, t] / mine for t in ("sed", "perl", "unix2dos"))
            target(f"{kind}, to a {output}: faster than sed, 3× unix2dos, 2× perl",
                   sed > 1 and u2d >= 3 and perl >= 2,
                   f"sed {sed:.2f}×, unix2dos {u2d:.2f}×, perl {perl:.2f}×")
    # The peak does not grow with the input when the large input's stays within a tenth of the
    # small one's.
    small, big = (statistics.median(r["peak"] for r in runs["file", case, "mirzet"])
                  for case in ("memory-1", "memory-big"))
    target(f"peak resident memory at most 2 MiB, the same for 1 MB and {f['big_mb']} MB",
           small <= 2048 and big <= 2048 and big <= small * 1.1,
           f"{small:.0f} KiB and {big:.0f} KiB")
    paths = {(w, p, k): (ir, bcm) for w, p, k, ir, bcm in f["paths"]}
    # The AVX2 path's loops took no branch for a line end, and must not take one again.
    for kind in KINDS:
        if ("before", "avx2", kind) in paths:
            old, now = paths["before", "avx2", kind][1], paths["mirzet", "avx2", kind][1]
            target(f"{kind}: avx2 mispredicts at most 1.1× {label}'s", now <= old * 1.1,
                   f"{old:,} → {now:,}")

    against = "\n".join(f"| {CORPUS_TEXT[k]} | " + " | ".join(
        f"{ratio((o, k, 'before')):.2f}× → {ratio((o, k, 'mirzet')):.2f}× "
        f"({ratio((o, k, 'mirzet'), 'before'):.2f})" for o in ("file", "pipe")) + " |"
        for k in KINDS) if before else ""
    if against:
        against = f"""## Against the earlier build

`{label}` ran in the same rounds. Each cell: its ratio to the floor, this build's, and in brackets
this build's CPU over the earlier build's, the median of the rounds' ratios.

| corpus | to a file | to a pipe |
|---|---|---|
{against}

"""
    calls = "\n".join(
        f"| {k}, {mb} MB | {o} | " + " | ".join(f"{int(n):,}" for n in numbers) +
        f" | `{h[:12]}` | {'the same' if same else 'none stored'} |"
        for k, mb, o, *numbers, h, same in f["calls"])
    micro = "\n".join(
        f"| {b['run_name']} | {b.get('label', '')} | {b.get('bytes_per_second', 0) / 1e6:.0f} | "
        + (f"{b['items_per_second'] / 1e6:.1f}" if "items_per_second" in b else "")
        + f" | {b['cpu_time']:.2f} {b['time_unit']} |" for b in f["micro"])
    counts = "\n".join(f"| {names[t]} | {ir:,} | {out:,} | {ir * 1e6 / out:,.0f} |"
                       for t, (ir, out) in f["callgrind"].items())

    def per_path(kind, path):
        now, old = paths["mirzet", path, kind], paths.get(("before", path, kind))
        return " | ".join(
            (f"{old[i]:,} → " if old else "— → " if before else "") + f"{now[i]:,}"
            + (f" ({100 * (now[i] / old[i] - 1):+.1f} %)" if old and old[i] else "")
            for i in (0, 1))
    counted = [p for p in ("avx2", "baseline") if ("mirzet", p, "source") in paths]
    per_path_rows = "\n".join(f"| {CORPUS_TEXT[k]} | `{p}` | {per_path(k, p)} |"
                              for k in KINDS for p in counted)
    avx512 = ("; this processor lacks " + ", ".join(f"`{x}`" for x in f["avx512_missing"])
              if f["avx512_missing"] else ", though this processor runs it outside valgrind")
    if before:
        avx512 += (f". `{label}` is counted in the same way, on its own choice of path (the avx2 "
                   "rows)" + (" and, told so, on the baseline" if f["before_simd"] else
                              "; it does not follow `MIRZET_SIMD`, so its baseline rows are empty"))
    arrow = f" ({label} → now)" if before else ""
    peaks = {t: max(r["peak"] for (o, _, tool), v in runs.items() if tool == t and o != "pty"
                    for r in v) for t in tools}
    load = lambda values: ", ".join(f"{v:.2f}" for v in values)
    pty = [("source-like", ("pty", "source-pty"))]
    page = f"""# Benchmarks

Written by `bench/bench.py run` on {m['date']}, from commit {m['commit']}; how the figures are
made and what they mean: [performance.md](performance.md). Machine: {m['cpu']}, {m['cores']}
cores, Linux {m['kernel']}. Load average before the timed runs: {load(f['load_before'])}; after
them: {load(f['load_after'])}. The timed runs took {f['timed']} s: {f['runs']} rounds over corpora
of about {f['mb']} MB (input bytes: {", ".join(f"{k} {v:,}" for k, v in f["sizes"].items())}).
CPU is user + system seconds, of the tool and, to a pipe, of its reader; medians of the rounds;
in brackets the ratio to the floor in the same round.

## mirzet's calls

| corpus | output | reads | writes | seeks | bytes read | bytes written | calls hash | against the stored calls |
|---|---|---:|---:|---:|---:|---:|---|---|
{calls}

## To a regular file: CPU seconds (ratio to the floor)

{table("corpus", rows("file"), cell)}
## To a pipe: CPU seconds (ratio to the floor)

{table("corpus", rows("pipe"), cell)}
{against}## Wall seconds

{table("corpus, output", [(f"{k}, {o}", (o, k)) for o in ("file", "pipe") for k in KINDS],
       lambda k: f"{wall[k]:.3f}")}
## To a pseudo-terminal ({f['pty_mb']} MB of the source-like corpus)

{table("CPU seconds", pty, cell)}
{table("wall seconds", pty, lambda k: f"{wall[k]:.3f}")}
## Peak resident memory (MiB, the largest of all runs)

{table("", [("file and pipe", ("", ""))], lambda k: f"{peaks[k[2]] / 1024:.2f}")}
mirzet's peak on a 1 MB input: {small:.0f} KiB; on a {f['big_mb']} MB input: {big:.0f} KiB.

## Targets

| target | measured | |
|---|---|---|
{chr(10).join(targets)}

## Microbenchmarks of the layer

`bench/micro.cpp` over 8 MiB of source-like text in the page cache (the kernels alone over
16 KiB); medians of three repetitions.

| benchmark | case | MB/s | M items/s | time |
|---|---|---:|---:|---:|
{micro}

## Instruction counts

`valgrind --tool=callgrind` on the copy of the {f['cg_mb']} MB source-like corpus to a regular
file.

| program | instructions | output bytes | instructions per MB of output |
|---|---:|---:|---:|
{counts}

mirzet's functions by their own instruction count:

```
{chr(10).join(f['top'])}
```

## Instructions and mispredicted branches per path

`valgrind --tool=cachegrind --branch-sim=yes --cache-sim=no` on the copy of each kind's 10 MB
corpus, per MB of output, on each path `MIRZET_SIMD` picks, as the guard counts them; every copy
equals the plain converter's. These runs took {f['paths_time']} s. Valgrind's processor has no
AVX-512, so the avx512 path is not counted{avx512}.

| corpus | path | instructions per MB{arrow} | mispredicted branches per MB{arrow} |
|---|---|---:|---:|
{per_path_rows}

## Versions

```
{chr(10).join(f"{k}: {v}" for k, v in f['versions'].items())}
```
"""
    (Path(args.docs) / "benchmarks.md").write_text(page)
    say(f"wrote {Path(args.docs) / 'benchmarks.md'}")
    return 0


# ---- mca: the kernels' cycles as llvm-mca models them ----

# The kernels' out-of-line entry points, by their demangled names: the x86 builds' own functions
# and the templates the NEON and SSE2 blocks instantiate. Their names are kept here alone.
KERNEL_NAMES = re.compile(
    r"mirzet::scan::(?:\w+::)?((?:expand_lf|squeeze)\w*(?:_avx2|_avx512|<[\w:]*Block>))\(")


def mca(args):
    if lacking := missing("llvm-mca-14", "objdump", "aarch64-linux-gnu-g++"):
        raise SystemExit(f"install {' '.join(lacking)}")
    build_dir = Path(args.build).resolve()
    build_dir.mkdir(parents=True, exist_ok=True)
    for arch, cpus, prefix, options in (
            ("x86_64", ["icelake-server", "znver3", "skylake"], "", []),
            ("aarch64", ["neoverse-n1"], "aarch64-linux-gnu-", [ARM64])):
        if not build(build_dir / arch, ["mirzet"], *options, log=build_dir / "build.log"):
            raise SystemExit(f"the {arch} build failed (see {build_dir / 'build.log'})")
        program = build_dir / arch / "mirzet"
        symbols = output(f"{prefix}nm", "--format=just-symbols", program).split()
        names = output("c++filt", input="\n".join(symbols)).split("\n")
        kernels = [(s, m[1]) for s, n in zip(symbols, names) if (m := KERNEL_NAMES.search(n))]
        if not kernels:
            raise SystemExit(f"no function of the {arch} build matches KERNEL_NAMES")
        say(f"\n| {arch} function (instructions) | " + " | ".join(cpus) + " |\n|---|"
            + "---:|" * len(cpus))
        for symbol, name in kernels:
            text = output(f"{prefix}objdump", "-d", "--no-show-raw-insn",
                          f"--disassemble={symbol}", program)
            # The instructions alone, and every branch to one label: llvm-mca follows no branch,
            # and models the function's code as one pass, over and over.
            lines = [line.split("\t", 1)[1].split("//")[0].split(" #")[0].strip()
                     for line in text.splitlines() if re.match(r"^\s+[0-9a-f]+:\t", line)]
            branch = r"^(b\.?\w*|c?bn?z|tbn?z|j\w+|call\w*|bl)(\s+)(.*?)[0-9a-f]+ <.*>$"
            body = "\n".join(["0:"] + [re.sub(branch, r"\1\2\g<3>0b", line) for line in lines])
            cells = []
            for cpu in cpus:
                model = output("llvm-mca-14", f"-mtriple={arch}", f"-mcpu={cpu}",
                               "-iterations=100", input=body)
                # A processor without the function's instructions (AVX-512's) has no figure.
                cycles = re.search(r"Total Cycles:\s+(\d+)", model)
                cells.append(f"{int(cycles[1]) / 100:.1f}" if cycles else "n/a")
            short = re.sub(r"[:\w]*::", "", name)
            say(f"| {short} ({len(lines)}) | " + " | ".join(cells) + " |")
    if args.measure:  # the kernels timed alone on this machine, for the model to be held against
        if not build(build_dir / "x86_64", ["mirzet_bench_micro"], log=build_dir / "build.log"):
            raise SystemExit("the microbenchmarks did not build: they need libbenchmark-dev")
        subprocess.run([build_dir / "x86_64/bench/mirzet_bench_micro", "--benchmark_filter=kernel"])
    return 0


def near(a, b):
    """A is within 1 % of B: a path name the program ignores leaves it on its own choice."""
    return b * 99 <= a * 100 <= b * 101


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    dirs = {"--dir": dict(default="/tmp/mirzet-bench", help="where the corpora are kept")}

    def command(name, function, build_default, **options):
        sub = commands.add_parser(name)
        sub.set_defaults(function=function)
        sub.add_argument("--build", default=str(ROOT / "build" / build_default),
                         help="the build directory for the tools it builds")
        for flag, option in {**dirs, **options}.items():
            sub.add_argument(flag, **option)
        return sub

    program = dict(help="the release-built mirzet to measure (default: built here)")
    command("guard", guard, "guard", **{"--program": program, "--update": dict(
        action="store_true", help="store the figures measured now")})
    command("calls", calls, "calls", **{"--program": program})
    docs = dict(default=str(ROOT / "docs"), help="where the report goes")
    integer = lambda default, text: dict(type=int, default=default, help=text)
    command("run", run, "bench", **{
        "--mb": integer(300, "each timed corpus's size in MB (10^6 bytes)"),
        "--runs": integer(5, "rounds of every tool on every corpus and output"),
        "--pty-mb": integer(0, "the corpus copied to a pseudo-terminal (default a tenth of --mb)"),
        "--callgrind-mb": integer(20, "the corpus counted under callgrind"),
        "--big-mb": integer(1000, "the large input of the memory check"),
        "--quiet-wait": integer(0, "seconds to wait for a 1-minute load below 1.0 first"),
        "--cpu": integer(0, "the processor every timed run and its reader are held to"),
        "--before": dict(help="an earlier build of mirzet, run in the same rounds"),
        "--before-label": dict(default="before", help="what the report calls it, a commit say"),
        "--docs": docs})
    command("mca", mca, "mca", **{"--measure": dict(action="store_true",
                                                    help="time the kernels here too")})
    command("report", write_report, "bench", **{"--docs": docs})
    args = parser.parse_args()
    sys.exit(args.function(args))


if __name__ == "__main__":
    main()
