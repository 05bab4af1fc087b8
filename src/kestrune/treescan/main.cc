#include "kestrune/base/command.h"
#include "kestrune/treescan/treescan.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::treescan::native_main); }
