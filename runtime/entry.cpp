#include "runtime/runtime.h"

int main(int argc, char** argv) {
    mirzet::runtime::start(argc, argv);
}
