#include "kestrune/base/command.h"
#include "kestrune/edit_guard/edit_guard.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::edit_guard::command_main); }
