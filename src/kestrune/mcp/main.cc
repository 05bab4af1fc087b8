#include "kestrune/base/command.h"
#include "kestrune/mcp/mcp.h"

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &kestrune::mcp::command_main); }
