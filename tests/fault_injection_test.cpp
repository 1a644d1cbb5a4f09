// Every failure the fake platform can inject, at every point a copy reaches, one run per point.
//
// For each representative copy the whole program runs once per injection point: the 1st, 2nd, ...
// allocation fails, then the 1st, 2nd, ... read, then each write, then each write accepts only part
// of its bytes, until a run ends without reaching the point. Each run must end with the status the
// design gives for that failure, and with an output that is the correct copy or a prefix of it: a
// failure may cut the output short, never change or reorder what is written.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "copy_model.h"
#include "platform/fake.h"
#include "runtime/runtime.h"
#include "textio/handles.h"
#include "textio/streams.h"

namespace mirzet {
namespace {

namespace pf = platform;
using fake::Op;

// A code no layer step treats specially: a plain device error.
constexpr std::uint32_t DEVICE_ERROR = 31;

const std::string INPUT_PATH = "in.txt";

struct Copy {
    const char* name;
    std::string input;
    std::uint32_t input_type = pf::FILE_TYPE_DISK;
    std::vector<std::uint32_t> chunks = {};
};

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

// The copies: every one is run with standard output on a console and redirected to a file.
std::vector<Copy> representative_copies() {
    std::vector<Copy> copies;
    copies.push_back({"empty", ""});
    copies.push_back({"short_text", "a\r\nb\nlast"});
    // CR-LF pairs and lone CRs on the 4096-byte block edges, and a CR as the file's last byte.
    std::string edges = repeat('x', 4095) + "\r\n" + repeat('y', 4094) + "\rz" + repeat('w', 4094) +
                        "\r\r\n" + "tail\r";
    copies.push_back({"crlf_on_block_edges", edges});
    // Lines longer than one 129-character piece, and more output than one 4096-byte buffer.
    std::string long_lines;
    for (int i = 0; i < 12; ++i)
        long_lines += repeat(static_cast<char>('a' + i), 300 + 97 * i) + "\r\n";
    copies.push_back({"long_lines", long_lines});
    std::string ctrl_z = repeat('c', 2000) + "\n" + repeat('d', 2000) + "\x1a" + "never\r\n";
    copies.push_back({"ctrl_z_mid_block", ctrl_z});
    copies.push_back({"nul_and_ff", std::string("ab\0cd\nef\n\xff\xff\r\n\r\r", 15)});
    // A pipe whose reads end on CRs: the look-ahead byte of a pipe is exercised.
    copies.push_back({"pipe_crs_on_read_edges",
                      "ab\r\ncd\rx\r\r\nline\r\n" + repeat('p', 300) + "\r",
                      pf::FILE_TYPE_PIPE,
                      {3, 4, 1, 2, 7}});
    return copies;
}

// The copy an independent reading of the rules gives: the text up to the first Ctrl-Z, CR-LF and
// bare LF both written as CR-LF, every other byte unchanged.
std::string expected_copy(const std::string& input) {
    return testing::dos_copy(input);
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

void run_program(void*) {
    static char program[] = "mirzet";
    static char path[] = "in.txt";
    char* argv[] = {program, path, nullptr};
    runtime::start(2, argv);
}

Outcome run_copy(const Copy& copy, std::uint32_t output_type, const std::function<void()>& inject) {
    fake::reset();
    fake::add_file(INPUT_PATH, copy.input, copy.input_type, copy.chunks);
    fake::set_std(pf::STD_OUTPUT_HANDLE, output_type);
    inject();
    const int status = fake::run_until_exit(run_program, nullptr);
    EXPECT_TRUE(fake::exited()) << "the program returned instead of ending the process";
    return {status, fake::contents("<stdout>"), fake::contents("<stderr>")};
}

// Where the output first departs from the correct copy, for failure messages.
std::string describe_departure(const std::string& got, const std::string& want) {
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    char text[160];
    std::snprintf(text, sizeof text,
                  "output of %zu bytes, correct copy %zu bytes, first difference at %zu",
                  got.size(), want.size(), i);
    return text;
}

::testing::AssertionResult is_prefix_of(const std::string& got, const std::string& want) {
    if (got.size() <= want.size() && want.compare(0, got.size(), got) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << describe_departure(got, want);
}

::testing::AssertionResult is_whole(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << describe_departure(got, want);
}

const char* type_name(std::uint32_t type) {
    return type == pf::FILE_TYPE_CHAR ? "console" : type == pf::FILE_TYPE_DISK ? "file" : "pipe";
}

// Injection points whose run met its rule, by kind, summed over all tests of the run; and how
// many runs met each rule.
std::map<std::string, int>& points_covered() {
    static std::map<std::string, int> points;
    return points;
}

std::map<std::string, int>& rules_met() {
    static std::map<std::string, int> rules;
    return rules;
}

class Summary : public ::testing::Environment {
  public:
    void TearDown() override {
        int total = 0;
        std::string parts;
        for (const auto& [kind, n] : points_covered()) {
            total += n;
            parts += (parts.empty() ? "" : ", ") + kind + " " + std::to_string(n);
        }
        if (total > 0)
            std::printf("fault injection: %d injection points covered (%s)\n", total,
                        parts.c_str());
        for (const auto& [rule, n] : rules_met())
            std::printf("  %6d runs: %s\n", n, rule.c_str());
    }
};
const auto* const summary = ::testing::AddGlobalTestEnvironment(new Summary);

const std::uint32_t OUTPUT_TYPES[] = {pf::FILE_TYPE_CHAR, pf::FILE_TYPE_DISK};

// How a point is injected: `inject(n)` arranges the failure of the n-th call of kind `op` (and may
// add failures of its own); it answers false to pass over a point that would repeat another.
struct Injection {
    Op op;
    std::function<bool(int)> inject;
};

// How a run that reached its point is judged: success names the rule the run was shown to meet,
// failure says how it broke the rules. Only points whose run met a rule count as covered.
using Verdict = ::testing::AssertionResult;
using Check = std::function<Verdict(const Copy&, int n, const Outcome&)>;

Verdict met(const char* rule) {
    return ::testing::AssertionSuccess() << rule;
}

// The departure of a run from the rule it was held to, with the run's status and error output.
Verdict broke(const char* rule, const Outcome& outcome) {
    return ::testing::AssertionFailure()
           << rule << ": status " << outcome.status << ", error output \"" << outcome.err << "\"";
}

// Runs the program once per point n = 1, 2, ... until a run makes fewer than n calls of the
// injected kind, and judges each run that reached its point. Returns the points judged.
int for_each_point(const Copy& copy, std::uint32_t output_type, const Injection& injection,
                   const Check& check) {
    const std::string want = expected_copy(copy.input);
    int covered = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE(::testing::Message() << copy.name << ", output to a " << type_name(output_type)
                                          << ", injection point " << n);
        // A bound far above any copy here, so that a run that never ends fails instead of hanging.
        if (n > 100000) {
            ADD_FAILURE() << "every run reaches the point";
            break;
        }
        bool distinct = true;
        const Outcome outcome =
            run_copy(copy, output_type, [&] { distinct = injection.inject(n); });
        if (fake::call_count(injection.op) < n) {
            // Not reached: nothing failed, and the copy must be whole.
            EXPECT_EQ(outcome.status, 0);
            EXPECT_TRUE(is_whole(outcome.out, want));
            break;
        }
        if (!distinct) continue;
        const Verdict verdict = check(copy, n, outcome);
        if (verdict) {
            ++covered;
            ++rules_met()[verdict.message()];
        } else {
            ADD_FAILURE() << verdict.message();
        }
        if (::testing::Test::HasFatalFailure()) break;
    }
    return covered;
}

template <std::size_t N>
int for_copies(const std::vector<Copy>& copies, const std::uint32_t (&outputs)[N],
               const Injection& injection, const Check& check) {
    int covered = 0;
    for (const Copy& copy : copies)
        for (std::uint32_t output : outputs)
            covered += for_each_point(copy, output, injection, check);
    return covered;
}

void record(const std::string& kind, int covered) {
    points_covered()[kind] += covered;
    ::testing::Test::RecordProperty("injection_points", covered);
    std::printf("%s: %d injection points\n", kind.c_str(), covered);
}

Injection fail_once(Op op, std::uint32_t error) {
    return {op, [op, error](int n) {
                fake::fail_call(op, n, error);
                return true;
            }};
}

Injection fail_from(Op op, std::uint32_t error) {
    return {op, [op, error](int n) {
                fake::fail_calls_from(op, n, error);
                return true;
            }};
}

// The same failure with every buffer refused as well: the input is read two bytes at a time
// through the stream's own two-character buffer, and standard output writes each character by
// itself. Allocations 1 and 2 are the handle and stream tables, which must be had to run at all.
Injection starved(Injection injection) {
    return {injection.op, [inner = injection.inject](int n) {
                fake::fail_calls_from(Op::allocate, 3, pf::ERROR_NOT_ENOUGH_MEMORY);
                return inner(n);
            }};
}

std::vector<Copy> small_copies() {
    std::vector<Copy> small;
    for (const Copy& copy : representative_copies())
        if (copy.input.size() < 1000) small.push_back(copy);
    return small;
}

// ---- allocations ----

constexpr std::uint64_t HANDLE_BLOCK_BYTES = sizeof(FdInfo) * FD_BLOCK_SIZE;
constexpr std::uint64_t SMALL_TABLE_BYTES = sizeof(Stream*) * STREAM_STATIC_COUNT;

const std::string R6027 =
    "\r\nruntime error R6027\r\n- not enough space for lowio initialization\r\n";
const std::string R6026 =
    "\r\nruntime error R6026\r\n- not enough space for stdio initialization\r\n";

// Only the first handle-table block and the smaller stream table are fatal; every other
// allocation has a fallback that keeps the copy whole.
Verdict check_allocation_failure(const Copy& copy, int n, const Outcome& outcome) {
    const std::vector<fake::Call> allocations = fake::calls_of(Op::allocate);
    const fake::Call& failed = allocations.at(static_cast<std::size_t>(n - 1));
    if (failed.result != -1) return broke("the injected allocation was granted", outcome);
    if (n == 1) {
        constexpr const char* rule = "no handle table: R6027, status 255, no output";
        if (failed.size != HANDLE_BLOCK_BYTES)
            return broke("the first allocation is the handle table", outcome);
        if (outcome.status == 255 && outcome.err == R6027 && outcome.out.empty()) return met(rule);
        return broke(rule, outcome);
    }
    const fake::Call& last = allocations.back();
    if (last.size == SMALL_TABLE_BYTES && last.result == -1) {
        constexpr const char* rule = "no stream table: R6026, status 255, no output";
        if (outcome.status == 255 && outcome.err == R6026 && outcome.out.empty()) return met(rule);
        return broke(rule, outcome);
    }
    constexpr const char* rule =
        "a refused buffer or record has a fallback: the whole copy, status 0";
    const Verdict whole = is_whole(outcome.out, expected_copy(copy.input));
    if (outcome.status == 0 && whole && outcome.err.empty()) return met(rule);
    return broke(rule, outcome) << ", " << failed.size << " bytes refused; " << whole.message();
}

TEST(FaultInjection, EachAllocationRefusedOnce) {
    const Injection injection{Op::allocate, [](int n) {
                                  fake::fail_allocation(n);
                                  return true;
                              }};
    record("allocations refused once",
           for_copies(representative_copies(), OUTPUT_TYPES, injection, check_allocation_failure));
}

TEST(FaultInjection, EveryAllocationRefusedFromTheNthOn) {
    record(
        "allocations refused from then on",
        for_copies(representative_copies(), OUTPUT_TYPES,
                   fail_from(Op::allocate, pf::ERROR_NOT_ENOUGH_MEMORY), check_allocation_failure));
}

// ---- reads ----

// The n-th read was the one-byte read that settles a CR ending a block: the reads of the stream
// itself ask for its whole buffer, two bytes or more.
bool was_peek(int n) {
    return fake::calls_of(Op::read).at(static_cast<std::size_t>(n - 1)).size == 1;
}

// A failure that ends the copy: status 1 and a prefix of the correct copy, never a changed byte.
Verdict check_cut_short(const char* rule, const Copy& copy, const Outcome& outcome) {
    const Verdict prefix = is_prefix_of(outcome.out, expected_copy(copy.input));
    if (outcome.status == 1 && prefix && outcome.err.empty()) return met(rule);
    return broke(rule, outcome) << "; " << prefix.message();
}

Verdict check_failed_read(const Copy& copy, const Outcome& outcome) {
    return check_cut_short("a failed read: status 1, a prefix of the copy", copy, outcome);
}

// A failed peek leaves the CR pending for the next read, which may then deliver the pair whole:
// the copy is either whole, or cut short with status 1.
Verdict check_failed_stream_read(const Copy& copy, int n, const Outcome& outcome) {
    if (!was_peek(n) || outcome.status != 0) return check_failed_read(copy, outcome);
    constexpr const char* rule = "a failed peek left the CR pending: the whole copy, status 0";
    const Verdict whole = is_whole(outcome.out, expected_copy(copy.input));
    if (whole && outcome.err.empty()) return met(rule);
    return broke(rule, outcome) << "; " << whole.message();
}

TEST(FaultInjection, EachReadFailsOnce) {
    record("reads failed once",
           for_copies(representative_copies(), OUTPUT_TYPES, fail_once(Op::read, DEVICE_ERROR),
                      check_failed_stream_read));
}

TEST(FaultInjection, EveryReadFailsFromTheNthOn) {
    record("reads failed from then on",
           for_copies(representative_copies(), OUTPUT_TYPES, fail_from(Op::read, DEVICE_ERROR),
                      [](const Copy& copy, int, const Outcome& outcome) {
                          return check_failed_read(copy, outcome);
                      }));
}

TEST(FaultInjection, EachReadFailsOnceThroughTheTwoCharacterBuffer) {
    record("reads failed once, no buffers",
           for_copies(small_copies(), OUTPUT_TYPES, starved(fail_once(Op::read, DEVICE_ERROR)),
                      check_failed_stream_read));
}

// ---- writes ----

Verdict check_failed_write(const Copy& copy, int, const Outcome& outcome) {
    return check_cut_short("a failed or short write: status 1, a prefix of the copy", copy,
                           outcome);
}

// On a redirected output a single failed write leaves a hole in the buffered text: nothing may
// follow it, the character waiting behind it included.
TEST(FaultInjection, EachWriteFailsOnce) {
    record("writes failed once",
           for_copies(representative_copies(), OUTPUT_TYPES,
                      fail_once(Op::write, pf::ERROR_DISK_FULL), check_failed_write));
}

TEST(FaultInjection, EveryWriteFailsFromTheNthOn) {
    record("writes failed from then on",
           for_copies(representative_copies(), OUTPUT_TYPES,
                      fail_from(Op::write, pf::ERROR_DISK_FULL), check_failed_write));
}

TEST(FaultInjection, EachWriteFailsOnceCharacterByCharacter) {
    record("writes failed once, no buffers",
           for_copies(small_copies(), OUTPUT_TYPES,
                      starved(fail_once(Op::write, pf::ERROR_DISK_FULL)), check_failed_write));
}

// The sizes of the writes of an untouched run: a run with a write injected at n makes the same
// first n writes, so these say how many bytes a short write at each point can cut.
std::vector<std::uint64_t> write_sizes(const Copy& copy, std::uint32_t output_type) {
    run_copy(copy, output_type, [] {});
    std::vector<std::uint64_t> sizes;
    for (const fake::Call& call : fake::calls_of(Op::write))
        sizes.push_back(call.size);
    return sizes;
}

// Nothing accepted, one byte short (which may split a CR-LF pair), and half.
int for_each_short_write(const std::vector<Copy>& copies, std::uint32_t output) {
    int covered = 0;
    for (const Copy& copy : copies) {
        const std::vector<std::uint64_t> sizes = write_sizes(copy, output);
        for (int variant = 0; variant < 3; ++variant) {
            const Injection injection{Op::write, [&sizes, variant](int n) {
                                          if (n > static_cast<int>(sizes.size())) return true;
                                          const std::uint64_t size = sizes[n - 1];
                                          const std::uint64_t keeps[] = {0, size - 1, size / 2};
                                          for (int earlier = 0; earlier < variant; ++earlier)
                                              if (keeps[earlier] == keeps[variant]) return false;
                                          fake::short_write(
                                              n, static_cast<std::uint32_t>(keeps[variant]));
                                          return true;
                                      }};
            covered += for_each_point(copy, output, injection, check_failed_write);
        }
    }
    return covered;
}

TEST(FaultInjection, EachWriteCutShort) {
    int covered = 0;
    for (std::uint32_t output : OUTPUT_TYPES)
        covered += for_each_short_write(representative_copies(), output);
    record("writes cut short", covered);
}

// ---- the other calls: opening, file types, seeks ----

// Whether the n-th call of its kind was one of the input file's opening: its create_file, or the
// get_file_type of the handle that returned.
bool opening_of_input_failed(Op op, int n) {
    const fake::Call call = fake::calls_of(op).at(static_cast<std::size_t>(n - 1));
    if (op == Op::create) return call.path == INPUT_PATH;
    const std::vector<fake::Call> creates = fake::calls_of(Op::create);
    return op == Op::file_type && !creates.empty() && call.handle == creates.front().result;
}

// When the input could not be opened: the whole message, status 1. Otherwise whatever fails,
// the result is the whole copy with status 0, or status 1 with a prefix of it.
Verdict check_any_failure(Op op, const Copy& copy, int n, const Outcome& outcome) {
    if (opening_of_input_failed(op, n)) {
        constexpr const char* rule = "the input cannot be opened: the whole message, status 1";
        const std::string refused = "Cannot find file " + INPUT_PATH + " \r\n";
        if (outcome.status == 1 && outcome.out == refused && outcome.err.empty()) return met(rule);
        return broke(rule, outcome) << "; " << is_whole(outcome.out, refused).message();
    }
    if (outcome.status != 0)
        return check_cut_short("a failed call ended the copy: status 1, a prefix of the copy", copy,
                               outcome);
    constexpr const char* rule = "a failure the layer recovers from: the whole copy, status 0";
    const Verdict whole = is_whole(outcome.out, expected_copy(copy.input));
    if (whole && outcome.err.empty()) return met(rule);
    return broke(rule, outcome) << "; a failure reported as success? " << whole.message();
}

Check check_any_failure_of(Op op) {
    return [op](const Copy& copy, int n, const Outcome& outcome) {
        return check_any_failure(op, copy, n, outcome);
    };
}

TEST(FaultInjection, EachOpenOrFileTypeFailsOnce) {
    int covered = 0;
    for (Op op : {Op::create, Op::file_type})
        covered += for_copies(representative_copies(), OUTPUT_TYPES,
                              fail_once(op, pf::ERROR_ACCESS_DENIED), check_any_failure_of(op));
    record("opens and file types failed once", covered);
}

// The seek that gives back a byte peeked after a CR at a block end of a disk file: when it fails,
// the byte must still be delivered, not skipped.
TEST(FaultInjection, EachSeekFailsOnce) {
    const Injection injection = fail_once(Op::seek, pf::ERROR_INVALID_FUNCTION);
    // Two-character reads end on a CR far more often.
    record("seeks failed once", for_copies(representative_copies(), OUTPUT_TYPES, injection,
                                           check_any_failure_of(Op::seek)) +
                                    for_copies(small_copies(), OUTPUT_TYPES, starved(injection),
                                               check_any_failure_of(Op::seek)));
}

}  // namespace
}  // namespace mirzet
