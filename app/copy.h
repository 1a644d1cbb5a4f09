// The copy program: `mirzet FILE` writes FILE to standard output in DOS text form.
#pragma once

namespace mirzet::app {

// Returns the exit status: 0 when the file was copied whole, 1 on a usage error, a file that cannot
// be opened, or a failed read or write.
int main(int argc, char** argv);

}  // namespace mirzet::app
