#include "kestrune/base/command.h"
#include "kestrune/hooks/hooks.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::hooks::command_main); }
