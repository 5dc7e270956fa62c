// The command's launcher: everything else lives in the core library.
#include "tarnwick/app/main.h"

int main(int argc, char** argv) { return tarnwick::main(argc, argv); }
