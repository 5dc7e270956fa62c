// The exporter's launcher: everything else lives in its library.
#include "tarnwick/exporter/exporter_main.h"

int main(int argc, char** argv) { return tarnwick::exporter_main(argc, argv); }
