#include "ui/Station.h"

int main(int argc, char** argv) {
    return talvex::runStation(argc, argv);
}
