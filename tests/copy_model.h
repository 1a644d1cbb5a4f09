// The copy as a reader of DOS text expects it, written apart from the program, for every test that
// checks the program's output.
#pragma once

#include <string>
#include <string_view>

namespace mirzet::testing {

// A CR followed by LF is the line end LF, any other CR is kept; then every LF is written as CR-LF.
inline std::string dos_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n') out += '\r';
        out += text[i];
    }
    return out;
}

// The whole copy of a file: its data ends at the first Ctrl-Z.
inline std::string dos_copy(std::string_view input) {
    return dos_text(input.substr(0, input.find('\x1a')));
}

}  // namespace mirzet::testing
