#include "common/VexilImageInstaller.h"

int main(int argc, char* argv[]) {
    return VexilImageInstaller::run(argc, argv);
}
