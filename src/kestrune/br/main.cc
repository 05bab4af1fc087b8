#include "kestrune/base/command.h"
#include "kestrune/br/commands.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::br::command_main); }
