#!/usr/bin/env python3
"""Breaks the rules of mirzet one at a time and checks that the fast tests notice.

Each mutant below is one edit to one source file: an exact text to find (it must occur exactly
once, so a refactor that moves or rewords the code makes the list fail loudly) and what to put in
its place. The tree is copied to a scratch directory (build/mutants/src); every mutant is applied
there in turn, the unit tests over the fake platform and the byte loops' tests are rebuilt in one
build directory that all mutants share (build/mutants/build, so each rebuild is incremental), and
run. A mutant is caught when a test fails, crashes or hangs; it survives when every test passes.

    python3 tests/mutants.py              # every mutant
    python3 tests/mutants.py -k append    # the mutants whose rule mentions "append"
    python3 tests/mutants.py --list

Exit status: 0 when every mutant was caught; 1 when one survived, its find-text was not found
exactly once, or it did not build; 2 when the unmutated tree does not build or pass.
"""

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import time


@dataclasses.dataclass
class Mutant:
    path: str  # relative to the tree's root
    find: str
    replace: str
    rule: str  # the rule the edit breaks, in one line
    simd: str = ""  # the byte loops' path the tests run on (MIRZET_SIMD), where not the best


def streams(find, replace, rule):
    return Mutant("textio/streams.cpp", find, replace, rule)


def handles(find, replace, rule):
    return Mutant("textio/handles.cpp", find, replace, rule)


MUTANTS = [
    # ---- streams: refills, turning to writing, flushing, the temporary buffer ----
    streams("if (stream->flags & STREAM_WRITE) {",
            "if (false && (stream->flags & STREAM_WRITE)) {",
            "fill_buffer refuses a stream open for writing"),
    streams("if (stream->flags & STREAM_WRITE) {",
            "if (stream->flags & STREAM_WRITE) { return -1;",
            "fill_buffer marks a write stream asked to read with STREAM_ERROR"),
    streams("if (!(stream->flags & STREAM_IN_USE) || (stream->flags & STREAM_STRING)) return -1;",
            "if (stream->flags & STREAM_STRING) return -1;",
            "fill_buffer reads nothing for a record not in use"),
    streams("if (!(stream->flags & STREAM_IN_USE) || (stream->flags & STREAM_STRING)) return -1;",
            "if (!(stream->flags & STREAM_IN_USE)) return -1;",
            "fill_buffer reads nothing for a string pseudo-stream"),
    streams("stream->flags |= n == 0 ? STREAM_EOF : STREAM_ERROR;",
            "stream->flags |= STREAM_EOF;",
            "a failed refill sets STREAM_ERROR, an empty one STREAM_EOF"),
    streams("if (!(stream->flags & (STREAM_WRITE | STREAM_UPDATE)) || (stream->flags & STREAM_STRING)) {",
            "if (stream->flags & STREAM_STRING) {",
            "flush_and_put refuses a stream open neither for writing nor for update"),
    streams("if (!(stream->flags & STREAM_EOF)) {",
            "if (false) {",
            "flush_and_put refuses a stream that is reading and not at the end of its file"),
    streams("stream->next = stream->base;\n        stream->flags &= ~STREAM_READ;",
            "stream->flags &= ~STREAM_READ;",
            "flush_and_put turning a stream from reading to writing writes nothing it read"),
    streams("stream->flags &= ~STREAM_READ;",
            "",
            "flush_and_put clears STREAM_READ when an update stream turns to writing"),
    streams("stream->flags = (stream->flags | STREAM_WRITE) & ~STREAM_EOF;",
            "stream->flags |= STREAM_WRITE;",
            "flush_and_put clears STREAM_EOF"),
    streams("else if (handle_appends(stream->fd))",
            "else if (handle_appends(stream->fd) && false)",
            "flush_and_put with nothing pending seeks an appending handle to the end"),
    streams("if (flags & STREAM_UPDATE) stream->flags &= ~STREAM_WRITE;",
            "",
            "flush_stream of an update stream clears STREAM_WRITE"),
    streams("result = -1;",
            "return -1;",
            "flush_stream forgets what a failed write held, so nothing is written twice"),
    streams("stream->sink = sink_for(stream->fd, buffer_room_per_char(*stream));",
            "",
            "a stream that starts writing is given its handle's sink"),
    streams(": stream == stream_table[2] ? &temp_buffers[1]",
            ": stream == stream_table[2] ? &temp_buffers[0]",
            "standard error is lent its own temporary block, not standard output's"),
    streams(": stream == stream_table[2] ? &temp_buffers[1]",
            ": stream == stream_table[2] ? nullptr",
            "standard error on a console is lent a temporary block"),
    streams("if (stream->flags & STREAM_HAS_BUFFER) return 0;",
            "",
            "a stream that already has a buffer is lent none"),
    streams("return stream == stream_table[1] || stream == stream_table[2];",
            "return stream == stream_table[1];",
            "standard error on a console never gets a buffer of its own"),
    streams("if (!(stream->flags & STREAM_TEMP_BUFFER)) return;",
            "if (!(stream->flags & STREAM_TEMP_BUFFER) || lent == 0) return;",
            "a nested print call's end still flushes the enclosing call's buffer"),
    streams("if (!is_device(stream->fd)) return 0;",
            "if (true) return 0;",
            "a console's standard output gets one write per print call"),
    streams("stream->buffer_size = BUFFER_SIZE;",
            "stream->buffer_size = BUFFER_SIZE / 4;",
            "a redirected output and a read stream use blocks of 4096 characters"),
    streams("if (out[-1] == LF) break;",
            "",
            "get_line ends a piece after its LF"),
    streams("return capacity - 1;",
            "return capacity - 2;",
            "get_line stores up to capacity - 1 characters"),
    streams("if (stream->flags & STREAM_COMMIT) return commit_fd(stream->fd) == 0 ? 0 : -1;",
            "",
            "flush_and_commit commits a stream opened with c"),
    # ---- handles: opening, reading, writing ----
    handles("pf::close_handle(handle);",
            "record_os_error(pf::get_last_error()); pf::close_handle(handle); return -1;",
            "open_fd of an unknown type closes first, then records the code the close left"),
    handles("pf::close_handle(handle);",
            "",
            "open_fd of an unknown type closes the handle"),
    handles("seek_fd(fd, end, pf::FILE_BEGIN);",
            "",
            "open_fd's Ctrl-Z trim seeks back to where it was"),
    handles("if (disk && (args.fd_flags & FD_TEXT) && read_write && !trim_final_ctrl_z(fd)) return -1;",
            "if (disk && (args.fd_flags & FD_TEXT) && read_write && (false && !trim_final_ctrl_z(fd))) return -1;",
            "a read-write text open cuts a final Ctrl-Z"),
    handles("return pf::FILE_SHARE_READ | pf::FILE_SHARE_WRITE;",
            "return pf::FILE_SHARE_READ;",
            "a stream's file is opened shared with readers and writers"),
    handles("if (type == pf::FILE_TYPE_CHAR) return FD_DEVICE;",
            "",
            "a standard handle or an opened file on a console is a device"),
    handles("if (count == 0 || (info->fd_flags & FD_EOF)) return 0;",
            "if (count == 0) return 0;",
            "after a Ctrl-Z a disk file or pipe reads nothing more"),
    handles("info->fd_flags &= static_cast<std::uint8_t>(~FD_EOF);",
            "",
            "a successful seek clears the end of file a Ctrl-Z set"),
    handles("char* const data_end = buffer + squeezed.data_end;  // the first Ctrl-Z, or the end",
            "char* const data_end = end;",
            "a Ctrl-Z in a block ends a disk file's data"),
    Mutant("textio/scan/read.h",
           "const std::uint32_t data_end = find_byte_with<CTRL_Z, Block>(text, n);",
           "const std::uint32_t data_end = n;",
           "a Ctrl-Z ends the data, after a CR too"),
    handles("if (data_end < end && !(info.fd_flags & FD_DEVICE)) info.fd_flags |= FD_EOF;",
            "if (data_end < end) info.fd_flags |= FD_EOF;",
            "a Ctrl-Z ends only the block read from a device"),
    Mutant("textio/scan/read.h",
           "const bool pair = from[1] == LF;",
           "const bool pair = false;",
           "a CR-LF pair inside a block is read as LF",
           simd="baseline"),
    Mutant("textio/scan/read.h",
           "if (from[at + 1] != LF) continue;  // a lone CR stays",
           "if (true) continue;",
           "a CR-LF pair is read as LF once the text has moved down a block",
           simd="baseline"),
    Mutant("textio/scan/read.h",
           "to += Block::store_without(to, bytes, Block::pairs(from, bytes));",
           "to += Block::store_without(to, bytes, 0);",
           "a CR-LF pair is read as LF where a block drops bytes in the same work whatever they are",
           simd="avx2"),
    Mutant("textio/scan/avx2.h",
           "_mm256_cmpeq_epi8(load(from + 1), _mm256_set1_epi8(LF))",
           "_mm256_cmpeq_epi8(load(from), _mm256_set1_epi8(LF))",
           "a pair's LF is the byte after its CR, the next block's first for the last",
           simd="avx2"),
    Mutant("textio/scan/read.h",
           "for (; at + Block::SIZE < n; at += Block::SIZE) {",
           "for (; at + Block::SIZE <= n; at += Block::SIZE) {",
           "the block-wide search for the first pair looks at no byte past the data's end",
           simd="avx2"),
    Mutant("textio/scan/block.h",
           "if ((lfs >> i & 1) != 0) table.by_lfs[lfs].order[place++] = 8;",
           "if (false) table.by_lfs[lfs].order[place++] = 8;",
           "every LF gets its CR where a block stores itself with its CRs",
           simd="avx2"),
    handles("if (peek != LF) *out++ = CR;",
            "*out++ = CR;",
            "a CR at the end of a disk block is dropped when the byte after it is LF"),
    handles("const bool give_back = disk && !(out == buffer && peek == LF);",
            "const bool give_back = disk && !(false && out == buffer && peek == LF);",
            "a block that is a lone CR followed by LF reads as LF at once"),
    handles("constexpr std::uint32_t CHUNK_LIMIT = 1024;",
            "constexpr std::uint32_t CHUNK_LIMIT = 2048;",
            "text_write writes chunks of at most 1025 bytes"),
    handles("scan::expand_lf(batch, BATCH_LIMIT, buffer + outcome.taken, left);",
            "scan::Expanded{std::min(left, BATCH_LIMIT), std::min(left, BATCH_LIMIT)};"
            " std::memcpy(batch, buffer + outcome.taken, std::min(left, BATCH_LIMIT));",
            "text_write writes each LF as CR-LF"),
    handles("} else if (converted[end] == LF) {",
            "} else if (false) {",
            "a CR-LF pair crossing a chunk's mark goes whole in the one write"),
    handles("outcome.taken += expanded.taken - text_bytes_in(batch + sent, unsent, unsent);",
            "outcome.taken += expanded.taken;",
            "a chunk that a batch cuts is written whole from the next batch"),
    handles("if (info->fd_flags & FD_APPEND) seek_fd(fd, 0, pf::FILE_END);",
            "",
            "text_write on an appending handle seeks to the end first"),
    handles("const bool text = info != nullptr && (info->fd_flags & FD_TEXT);",
            "const bool text = info != nullptr;",
            "only a text-mode handle's sink gives each LF its CR"),
    handles("if ((info->fd_flags & FD_DEVICE) && buffer[0] == CTRL_Z) return 0;",
            "",
            "a Ctrl-Z that a device takes as nothing written is no error"),
    # ---- the program and its exit ----
    Mutant("runtime/runtime.cpp",
           "if (info != nullptr && info->os_handle != NO_HANDLE) return info->os_handle;",
           "if (false && info != nullptr) return info->os_handle;",
           "the fatal-error report goes to fd 2's handle when the table holds one"),
    Mutant("runtime/runtime.cpp",
           "&& status == 0) status = 1;",
           "&& status == 0) status = 0;",
           "a failed flush at exit turns status 0 into 1"),
    Mutant("app/copy.cpp",
           "if (argc != 2) {",
           "if (argc < 2) {",
           "more than one argument is a usage error"),
    Mutant("app/copy.cpp",
           "return stream_failed(*input) ? 1 : 0;",
           "return 0;",
           "a read failure part-way ends with status 1"),
    Mutant("app/copy.cpp",
           "if (output_failed(print_padded_chars(line, length))) {",
           "if (output_failed(print_padded_chars(line, length)) && false) {",
           "a failed write stops the copy with status 1"),
    Mutant("textio/scan/copy.h",
           "return lines + (span - lines) / room * room;",
           "return span;",
           "a piece the input's buffer or the output's room cuts short is left to the two calls"),
    Mutant("textio/scan.h",
           "whole_pieces(run.from, std::min(run.left, run.space), room);",
           "whole_pieces(run.from, run.left, room);",
           "the straight copy never stores past the output's room"),
    streams("scan::whole_pieces(in->next, std::min(in->count, room), piece_room(capacity));",
            "scan::whole_pieces(in->next, in->count, piece_room(capacity));",
            "the straight copy never takes more characters than the output's room"),
    Mutant("textio/scan/copy.h",
           "return lines + (span - lines) / room * room;",
           "return span / room * room;",
           "every LF ends a piece, so the pieces of a full room count from the last one"),
    Mutant("textio/scan/write.h",
           "Block::first_bytes_of_two(first_lfs, second_lfs, keep);  // keep is below a step",
           "",
           "the conversion's last step counts no LF in the padding past the text",
           simd="avx2"),
    Mutant("textio/scan/write.h",
           "        to[at + crs] = CR;\n",
           "",
           "a step of few LFs stored with no table gives each LF its CR"),
    Mutant("textio/scan/write.h",
           "        to -= WHOLE - keep;  // the padding's bytes, one place each\n",
           "",
           "the padding's bytes the last step stored do not count"),
    Mutant("textio/scan.h",
           "    chosen_kernels = row_of(chosen_path)->kernels;\n",
           "",
           "choosing a path chooses its kernels"),
    handles("    write_chunks(handle, converted, length, true, sent, outcome);\n"
            "    outcome.taken = outcome.written;\n",
            "    outcome = write_binary(handle, converted, length);\n",
            "converted text goes out in the chunks text_write cuts from the same text"),
]

# The tests run for each mutant: every unit test over the fake platform, the quick and pointed
# ones first (the first failure ends the run; the sweeping ones can take long over a mutant), then
# the byte loops' tests, which hold every path the processor runs to the plain loops whatever
# MIRZET_SIMD says: a loop that looks past its text shows there, where the layer's buffers hold
# nothing after it.
FAKE_TEST = re.compile(r"mirzet_fake_test\((\w+)")
LAST = ["scan_test"]
FIRST = ["handles_test", "streams_test", "runtime_app_test", "format_test", "platform_fake_test"]
TEST_TIMEOUT = 120  # seconds; a mutant that makes a test hang is caught
BUILD_TIMEOUT = 900


def tracked_files(root):
    out = subprocess.run(["git", "ls-files", "-z"], cwd=root, capture_output=True, check=True)
    return [name for name in out.stdout.decode().split("\0") if name]


def sync_tree(root, src):
    """Copies the tree into src, rewriting only the files whose contents differ, so that the
    shared build stays incremental across runs."""
    for name in tracked_files(root):
        origin = os.path.join(root, name)
        if not os.path.isfile(origin):
            continue  # deleted in the work tree
        target = os.path.join(src, name)
        with open(origin, "rb") as f:
            data = f.read()
        if os.path.isfile(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        shutil.copymode(origin, target)


def configure(src, build):
    if os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        return True
    command = ["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Debug"]
    if shutil.which("ninja"):
        command += ["-G", "Ninja"]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        print(result.stdout + result.stderr)
    return result.returncode == 0


def build_tests(build, targets, jobs):
    try:
        result = subprocess.run(
            ["cmake", "--build", build, "-j", str(jobs), "--target", *targets],
            capture_output=True, text=True, timeout=BUILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        return False, "build timed out"
    return result.returncode == 0, result.stdout + result.stderr


def processor_runs(simd):
    """Whether this processor runs the byte loops' path named simd: the baseline everywhere."""
    needs = {"baseline": [], "avx2": ["avx2", "bmi1", "popcnt"],
             "avx512": ["avx2", "bmi1", "bmi2", "popcnt", "avx512f", "avx512bw", "avx512vl",
                        "avx512_vbmi2"]}[simd]
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((line.split(":", 1)[1].split() for line in f
                          if line.startswith("flags")), [])
    except OSError:
        flags = []
    return all(flag in flags for flag in needs)


def run_tests(build, targets, simd=""):
    """Returns None when every test passed, else the first test that failed."""
    env = dict(os.environ)
    env.pop("MIRZET_SIMD", None)
    if simd:
        env["MIRZET_SIMD"] = simd
    for target in targets:
        binary = os.path.join(build, "tests", target)
        try:
            result = subprocess.run([binary, "--gtest_brief=1", "--gtest_fail_fast"],
                                    capture_output=True, text=True, errors="replace",
                                    timeout=TEST_TIMEOUT, env=env)
        except subprocess.TimeoutExpired:
            return target + " (hung)"
        if result.returncode != 0:
            failed = re.search(r"^\[  FAILED  \] (\S+)", result.stdout, re.MULTILINE)
            if failed:
                return failed.group(1).rstrip(",")  # a parameterised test's name ends with one
            return f"{target} (exit {result.returncode})"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-k", metavar="TEXT", help="only the mutants whose rule contains TEXT")
    parser.add_argument("-j", type=int, default=2, metavar="N", help="build jobs (default 2)")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--work", metavar="DIR", help="scratch directory (default build/mutants)")
    args = parser.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    mutants = [m for m in MUTANTS if args.k is None or args.k.lower() in m.rule.lower()]
    if args.list:
        for m in mutants:
            print(f"{m.path:22} {m.rule}")
        return 0

    started = time.monotonic()
    work = os.path.abspath(args.work or os.path.join(root, "build", "mutants"))
    src, build = os.path.join(work, "src"), os.path.join(work, "build")
    sync_tree(root, src)
    with open(os.path.join(src, "tests", "CMakeLists.txt")) as f:
        targets = FAKE_TEST.findall(f.read())
    targets.sort(key=lambda t: FIRST.index(t) if t in FIRST else len(FIRST))
    targets += LAST
    if not configure(src, build):
        print("the scratch tree does not configure")
        return 2
    built, log = build_tests(build, targets, args.j)
    failed = run_tests(build, targets) if built else "the build"
    if failed is not None:
        print(log if not built else "")
        print(f"the unmutated tree fails: {failed}")
        return 2
    print(f"unmutated tree built and passed ({time.monotonic() - started:.0f} s); "
          f"{len(mutants)} mutants, tests: {' '.join(targets)}")

    tally = {"caught": 0, "SURVIVED": 0, "NOT FOUND": 0, "DID NOT BUILD": 0, "not run": 0}
    for number, mutant in enumerate(mutants, 1):
        path = os.path.join(src, mutant.path)
        with open(path) as f:
            original = f.read()
        begun = time.monotonic()
        detail = ""
        occurrences = original.count(mutant.find)
        if mutant.simd and not processor_runs(mutant.simd):
            outcome = "not run"
            detail = f"the processor has no {mutant.simd}"
        elif occurrences != 1:
            outcome = "NOT FOUND"
            detail = f"find-text occurs {occurrences} times in {mutant.path}"
        else:
            try:
                with open(path, "w") as f:
                    f.write(original.replace(mutant.find, mutant.replace))
                built, log = build_tests(build, targets, args.j)
                if not built:
                    outcome = "DID NOT BUILD"
                    detail = "\n".join(line for line in log.splitlines() if "error" in line)[:600]
                else:
                    failed = run_tests(build, targets, mutant.simd)
                    outcome = "SURVIVED" if failed is None else "caught"
                    detail = f"by {failed}" if failed else ""
            finally:
                with open(path, "w") as f:
                    f.write(original)
        tally[outcome] += 1
        print(f"{number:3} {outcome:13} {time.monotonic() - begun:5.1f} s  {mutant.rule}"
              + (f"  [{detail}]" if detail else ""), flush=True)

    # Leave the scratch build matching the tree again.
    build_tests(build, targets, args.j)
    elapsed = time.monotonic() - started
    print(f"total: {len(mutants)} mutants, {tally['caught']} caught, {tally['SURVIVED']} survived, "
          f"{tally['NOT FOUND']} not found, {tally['DID NOT BUILD']} did not build, "
          f"{tally['not run']} not run; "
          f"elapsed {elapsed:.0f} s")
    # Each mutant is a test of the tests: caught passes, anything else fails.
    failed = len(mutants) - tally["caught"] - tally["not run"]
    print(f"mutants: {tally['caught']} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
