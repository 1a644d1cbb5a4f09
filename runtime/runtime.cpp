#include "runtime/runtime.h"

#include <cstring>
#include <string>

#include "app/copy.h"
#include "textio/handles.h"
#include "textio/scan.h"
#include "textio/streams.h"

namespace mirzet::runtime {

namespace pf = platform;

namespace {

struct NumberedMessage {
    int number;
    const char* text;
};

constexpr NumberedMessage messages[] = {
    {FATAL_NO_FLOATING_POINT, "R6002\r\n- floating point not loaded\r\n"},
    {8, "R6008\r\n- not enough space for arguments\r\n"},
    {9, "R6009\r\n- not enough space for environment\r\n"},
    {FATAL_NO_STREAM_SPACE, "R6026\r\n- not enough space for stdio initialization\r\n"},
    {FATAL_NO_HANDLE_SPACE, "R6027\r\n- not enough space for lowio initialization\r\n"},
    {28, "R6028\r\n- unable to initialize heap\r\n"},
};

constexpr char report_lead[] = "\r\nruntime error ";
constexpr std::size_t REPORT_SIZE = 128;

constexpr std::size_t longest_message() {
    std::size_t longest = 0;
    for (const NumberedMessage& message : messages) {
        const std::size_t length = std::char_traits<char>::length(message.text);
        longest = length > longest ? length : longest;
    }
    return longest;
}
static_assert(sizeof report_lead - 1 + longest_message() <= REPORT_SIZE,
              "every runtime-error report fits its buffer");

const char* message_of(int number) {
    for (const NumberedMessage& message : messages)
        if (message.number == number) return message.text;
    return nullptr;
}

// The handle of fd 2 when the handle table holds one, else the system's standard error.
OsHandle standard_error_handle() {
    const FdInfo* info = fd_info(2);
    if (info != nullptr && info->os_handle != NO_HANDLE) return info->os_handle;
    return pf::get_std_handle(pf::STD_ERROR_HANDLE);
}

}  // namespace

void fatal_error(int number) {
    const char* text = message_of(number);
    if (text != nullptr) {
        char report[REPORT_SIZE];
        const std::size_t lead_length = sizeof report_lead - 1;
        const std::size_t text_length = std::strlen(text);
        std::memcpy(report, report_lead, lead_length);
        std::memcpy(report + lead_length, text, text_length);
        std::uint32_t written = 0;
        pf::write_file(standard_error_handle(), report,
                       static_cast<std::uint32_t>(lead_length + text_length), &written);
    }
    pf::exit_process(255);
}

void exit_normally(int status) {
    const int in_use = count_streams_in_use();
    if (flush_all_streams() != in_use && status == 0) status = 1;
    pf::exit_process(static_cast<std::uint32_t>(status));
}

void start(int argc, char** argv) {
    // The byte loops' path, the best this processor runs unless MIRZET_SIMD names another it runs.
    scan::use_path(scan::path_named(pf::get_environment_variable("MIRZET_SIMD")));
    set_fatal_error_handler(fatal_error);
    if (!init_fd_table()) fatal_error(FATAL_NO_HANDLE_SPACE);
    if (!init_stream_table()) fatal_error(FATAL_NO_STREAM_SPACE);
    exit_normally(app::main(argc, argv));
}

}  // namespace mirzet::runtime
