#include "kestrune/base/command.h"
#include "kestrune/brc_claude/brc_claude.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::brc_claude::command_main); }
