#include "kestrune/base/command.h"

#include <unistd.h>

#include <cstdlib>

#include "kestrune/base/args.h"
#include "kestrune/base/fs.h"
#include "kestrune/mcp/mcp.h"

namespace kestrune::mcp {

std::string default_root() {
  const char* project = std::getenv("CLAUDE_PROJECT_DIR");
  return fs::resolve(project != nullptr && *project != '\0' ? std::string(project) : fs::cwd());
}

int command_main(int argc, char** argv) {
  return command::run("kestrune-mcp: error: ", [&] {
    args::Parser p("kestrune-mcp",
                   "The project's information graph as tools for the assistant: a Model Context Protocol server "
                   "on standard input and output.");
    p.text({"--root"}, std::nullopt, "Project root (default: $CLAUDE_PROJECT_DIR, else the working directory)");
    const args::Result a = p.parse({argv + (argc > 0 ? 1 : 0), argv + argc});
    const std::optional<std::string> root_arg = a.optional_text("root");
    Project project(root_arg ? fs::resolve(fs::expanduser(*root_arg)) : default_root());
    // Standard output carries the protocol alone; what a person may want to know goes to standard error.
    if (!fs::is_dir(project.root()))
      command::err("kestrune-mcp: " + project.root() + " is not a directory; the tools will say so\n");
    Server server(project);
    serve(STDIN_FILENO, server, [](std::string_view line) { command::out(line); });
    return 0;
  });
}

}  // namespace kestrune::mcp
