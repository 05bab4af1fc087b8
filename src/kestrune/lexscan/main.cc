#include "kestrune/base/command.h"
#include "kestrune/lexscan/scan.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::lexscan::command_main); }
