// The three bytes that DOS text turns on: the CR of a CR-LF line end, the LF, and the Ctrl-Z that
// ends the data. The byte loops below the handles look for them, and the handles name them.
#pragma once

namespace mirzet {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;
constexpr char CTRL_Z = 0x1A;

}  // namespace mirzet
