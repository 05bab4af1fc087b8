#include "kestrune/attention/attention.h"
#include "kestrune/base/command.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::attention::command_main); }
