// Microbenchmarks of the text-mode layer's hot path over the real POSIX platform: the read
// conversion, line reading, the write conversion and the print call, each over 8 MiB of
// source-like text held in the page cache. Figures are MB/s of the text handled.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "textio/format.h"
#include "textio/handles.h"
#include "textio/scan.h"
#include "textio/streams.h"

namespace {

namespace pf = mirzet::platform;
using namespace mirzet;

constexpr std::size_t TEXT_SIZE = 8u << 20;
constexpr std::int32_t LINE_CAPACITY = 130;

std::string directory;
std::string lf_path, crlf_path, out_path;
std::string lf_text;              // the LF variant, as written to lf_path
std::vector<std::string> pieces;  // lf_text as get_line hands it over, 129 characters at most

// Lines of 20 to 60 characters, so that every 64 bytes hold a line end, KERNEL_SIZE bytes in all:
// text that stays in the first caches, as the cycle model assumes.
constexpr std::uint32_t KERNEL_SIZE = 16384;
std::string kernel_text(const char* end) {
    std::mt19937 random(12345);
    std::string text;
    while (text.size() < KERNEL_SIZE) {
        const unsigned length = 20 + random() % 41;
        for (unsigned i = 0; i < length; ++i)
            text.push_back(random() % 6 == 0 ? ' ' : static_cast<char>('a' + random() % 26));
        text += end;
    }
    text.resize(KERNEL_SIZE);
    return text;
}

// Source-like lines: mostly 20 to 60 characters, some blank, a few longer than one piece.
std::string make_text(bool crlf) {
    std::mt19937 random(12345);
    std::string text;
    text.reserve(TEXT_SIZE + 256);
    while (text.size() < TEXT_SIZE) {
        const unsigned kind = random() % 100;
        std::size_t length = kind < 12 ? 0 : kind < 99 ? 8 + random() % 60 : 130 + random() % 200;
        std::size_t indent = length == 0 ? 0 : (random() % 4) * 4;
        text.append(indent, ' ');
        for (std::size_t i = 0; i < length; ++i)
            text.push_back(random() % 6 == 0 ? ' ' : static_cast<char>('a' + random() % 26));
        text.append(crlf ? "\r\n" : "\n");
    }
    return text;
}

void write_file(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
        std::fclose(file) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

OsHandle open_handle(const std::string& path, bool write) {
    const OsHandle handle =
        pf::create_file(path.c_str(), write ? pf::GENERIC_WRITE : pf::GENERIC_READ,
                        pf::FILE_SHARE_READ | pf::FILE_SHARE_WRITE, false,
                        write ? pf::CREATE_ALWAYS : pf::OPEN_EXISTING, pf::FILE_ATTRIBUTE_NORMAL);
    if (handle == pf::INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    return handle;
}

// Sets the layer up afresh, as start-up does, with standard output on the given handle.
void start_layer(OsHandle standard_output_handle) {
    pf::set_std_handle(pf::STD_OUTPUT_HANDLE, standard_output_handle);
    if (!init_fd_table() || !init_stream_table()) {
        std::fprintf(stderr, "the layer could not be set up\n");
        std::exit(1);
    }
}

OsHandle null_handle() {
    static const OsHandle handle = open_handle("/dev/null", true);
    return handle;
}

OsHandle file_handle() {
    static const OsHandle handle = open_handle(out_path, true);
    return handle;
}

int open_or_die(const std::string& path, std::uint32_t flags) {
    const int fd = open_fd(path.c_str(), flags, SHARE_DENY_NONE, DEFAULT_PERMISSION);
    if (fd < 0) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    return fd;
}

void rewind_stream(Stream* stream) {
    seek_fd(stream->fd, 0, pf::FILE_BEGIN);
    stream->count = 0;
    stream->flags &= ~STREAM_EOF;
}

// Empties the output file between iterations, outside the timed part.
void empty_output(benchmark::State& state) {
    state.PauseTiming();
    flush_stream(standard_output());
    seek_fd(1, 0, pf::FILE_BEGIN);
    pf::set_end_of_file(get_os_handle(1));
    state.ResumeTiming();
}

const std::string& input_path(const benchmark::State& state) {
    return state.range(0) ? crlf_path : lf_path;
}

void set_labels(benchmark::State& state, std::int64_t bytes_per_iteration, const char* label) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes_per_iteration);
    state.SetLabel(label);
}

// text_read in 4096-byte blocks, as a stream's refill asks; with mode binary only the system
// calls are left, which shows what the conversion itself costs.
void text_read_blocks(benchmark::State& state, std::uint32_t mode) {
    start_layer(null_handle());
    const int fd = open_or_die(input_path(state), OPEN_READ_ONLY | mode);
    static char block[BUFFER_SIZE];
    std::int64_t bytes = 0;
    for (auto _ : state) {
        seek_fd(fd, 0, pf::FILE_BEGIN);
        bytes = 0;
        for (std::int32_t n; (n = text_read(fd, block, sizeof block)) > 0;)
            bytes += n;
        benchmark::DoNotOptimize(block);
    }
    close_fd(fd);
    set_labels(state, bytes, state.range(0) ? "CR-LF input" : "LF input");
}

void BM_text_read(benchmark::State& state) {
    text_read_blocks(state, OPEN_TEXT);
}
void BM_read_binary(benchmark::State& state) {
    text_read_blocks(state, OPEN_BINARY);
}

// Line pieces of at most 129 characters out of a text-mode stream.
template <bool by_length>
void BM_get_line(benchmark::State& state) {
    start_layer(null_handle());
    Stream* stream = open_stream(input_path(state).c_str(), "r");
    if (stream == nullptr) std::exit(1);
    char line[LINE_CAPACITY];
    std::int64_t bytes = 0, lines = 0;
    for (auto _ : state) {
        rewind_stream(stream);
        bytes = lines = 0;
        if constexpr (by_length) {
            for (std::int32_t n; (n = get_line_length(line, LINE_CAPACITY, stream)) >= 0; ++lines)
                bytes += n;
        } else {
            while (get_line(line, LINE_CAPACITY, stream) != nullptr) {
                bytes += static_cast<std::int64_t>(std::strlen(line));
                ++lines;
            }
        }
        benchmark::DoNotOptimize(line);
    }
    close_fd(stream->fd);
    set_labels(state, bytes, state.range(0) ? "CR-LF input" : "LF input");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * lines);
}

// text_write of 4096-character blocks to /dev/null: the chunks, their CRs and the system calls.
void text_write_blocks(benchmark::State& state, std::uint32_t mode) {
    start_layer(null_handle());
    const int fd = open_or_die("/dev/null", OPEN_WRITE_ONLY | mode);
    for (auto _ : state) {
        for (std::size_t at = 0; at < lf_text.size(); at += BUFFER_SIZE) {
            const std::size_t n = std::min<std::size_t>(BUFFER_SIZE, lf_text.size() - at);
            benchmark::DoNotOptimize(
                text_write(fd, lf_text.data() + at, static_cast<std::uint32_t>(n)));
        }
    }
    close_fd(fd);
    set_labels(state, static_cast<std::int64_t>(lf_text.size()), "LF text to /dev/null");
}

void BM_text_write(benchmark::State& state) {
    text_write_blocks(state, OPEN_TEXT);
}
void BM_write_binary(benchmark::State& state) {
    text_write_blocks(state, OPEN_BINARY);
}

// One print call per piece, as the copy makes them. Argument 0: standard output on a regular file
// (its own 4096-character buffer); 1: on /dev/null, a character device, where each call borrows
// the temporary buffer and ends in one text_write, as on a terminal.
template <bool formatted>
void BM_print(benchmark::State& state) {
    const bool device = state.range(0) != 0;
    start_layer(device ? null_handle() : file_handle());
    for (auto _ : state) {
        for (const std::string& piece : pieces) {
            if constexpr (formatted)
                benchmark::DoNotOptimize(print_formatted("%s", piece.c_str()));
            else
                benchmark::DoNotOptimize(
                    print_chars(piece.data(), static_cast<std::int32_t>(piece.size())));
        }
        if (!device) empty_output(state);
    }
    flush_stream(standard_output());
    set_labels(state, static_cast<std::int64_t>(lf_text.size()),
               device ? "to /dev/null (a device)" : "to a regular file");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pieces.size()));
}

// The copy's whole loop in process: pieces out of a text-mode stream, each printed by its length,
// standard output on a regular file.
void BM_copy(benchmark::State& state) {
    start_layer(file_handle());
    Stream* stream = open_stream(input_path(state).c_str(), "r");
    if (stream == nullptr) std::exit(1);
    char line[LINE_CAPACITY];
    for (auto _ : state) {
        rewind_stream(stream);
        for (std::int32_t n; (n = get_line_length(line, LINE_CAPACITY, stream)) >= 0;)
            print_chars(line, n);
        empty_output(state);
    }
    close_fd(stream->fd);
    set_labels(state, static_cast<std::int64_t>(lf_text.size()),
               state.range(0) ? "CR-LF input, to a regular file" : "LF input, to a regular file");
}

// The byte loops alone, on a path (argument 0: baseline, avx2, avx512) this processor runs: the
// write's store with CRs, the read's store without (the text laid anew each call, outside the
// timing) and the read's search for a CR or a Ctrl-Z, which text with LF ends never leaves. These
// are the times to hold against `bench/bench.py mca`.
void BM_kernel(benchmark::State& state, int kernel) {
    const auto path = static_cast<scan::Path>(state.range(0));
    if (!scan::processor_runs(path)) {
        state.SkipWithError("the processor does not run this path");
        return;
    }
    scan::use_path(path);
    static const std::string lf = kernel_text("\n"), crlf = kernel_text("\r\n");
    std::vector<char> out(2 * KERNEL_SIZE + 4096), work(KERNEL_SIZE + 64);
    for (auto _ : state) {
        if (kernel == 0) {
            benchmark::DoNotOptimize(
                scan::expand_lf(out.data(), 2 * KERNEL_SIZE, lf.data(), KERNEL_SIZE).length);
        } else if (kernel == 1) {
            state.PauseTiming();
            std::memcpy(work.data(), crlf.data(), KERNEL_SIZE);
            state.ResumeTiming();
            benchmark::DoNotOptimize(scan::squeeze_crlf(work.data(), KERNEL_SIZE).kept);
        } else {
            std::memcpy(work.data(), lf.data(), KERNEL_SIZE);
            benchmark::DoNotOptimize(scan::squeeze_crlf(work.data(), KERNEL_SIZE).data_end);
        }
    }
    scan::use_path(scan::best_path());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * KERNEL_SIZE);
    state.SetLabel(scan::path_name(path));
}

BENCHMARK_CAPTURE(BM_kernel, write, 0)->DenseRange(0, 2);
// Pausing the clock for each laying of the text costs more than the call: a fixed number of
// calls keeps the case to about a second.
BENCHMARK_CAPTURE(BM_kernel, read, 1)->DenseRange(0, 2)->Iterations(100000);
BENCHMARK_CAPTURE(BM_kernel, search, 2)->DenseRange(0, 2);

BENCHMARK(BM_read_binary)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_text_read)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_get_line<false>)->Name("BM_get_line")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_get_line<true>)
    ->Name("BM_get_line_length")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_write_binary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_text_write)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_print<true>)
    ->Name("BM_print_formatted_s")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_print<false>)->Name("BM_print_chars")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_copy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void make_inputs() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/mirzet-micro.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    directory = pattern;
    lf_path = directory + "/lf.txt";
    crlf_path = directory + "/crlf.txt";
    out_path = directory + "/out.txt";
    lf_text = make_text(false);
    write_file(lf_path, lf_text);
    write_file(crlf_path, make_text(true));
    // The pieces get_line would return: up to and including an LF, 129 characters at most.
    for (std::size_t at = 0; at < lf_text.size();) {
        const std::size_t lf = lf_text.find('\n', at);
        std::size_t end = lf == std::string::npos ? lf_text.size() : lf + 1;
        if (end - at > LINE_CAPACITY - 1) end = at + LINE_CAPACITY - 1;
        pieces.emplace_back(lf_text, at, end - at);
        at = end;
    }
}

void remove_inputs() {
    for (const std::string* path : {&lf_path, &crlf_path, &out_path})
        std::remove(path->c_str());
    std::remove(directory.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    make_inputs();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_inputs();
    return 0;
}
