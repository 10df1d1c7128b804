#include "common/VexilSlots.h"

int main(int argc, char* argv[]) {
    return VexilSlots::run(argc, argv);
}
