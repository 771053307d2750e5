#include "daemon/startup.h"

int main(int argc, char** argv) {
    return veltarisd_main(argc, argv);
}
