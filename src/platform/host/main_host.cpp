// build/host/velkoran: the program on Linux, console on stdout.
#include "app/run.h"

int main(int argc, char** argv) { return velkoranMain(argc, argv); }
