// brc: what `audit --fix` hands over to. Opens an interactive claude session
// in the project root whose first prompt is the audit's context file.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/brc_claude/brc_claude.h"

namespace kestrune::brc_claude {

std::string audit_prompt(std::string_view audit_context_text) {
  std::string out =
      "Read .braid/AUDIT_CONTEXT.md (its text is included below) and work through its fix "
      "roadmap in order, one task at a time. Before changing a file, read it; after each task, "
      "say what you changed and check that the project still builds and its tests pass.\n\n"
      "--- .braid/AUDIT_CONTEXT.md ---\n";
  out += audit_context_text;
  if (!audit_context_text.empty() && audit_context_text.back() != '\n') out += '\n';
  out += "--- end of .braid/AUDIT_CONTEXT.md ---";
  return out;
}

int brc_main(const std::vector<std::string>& argv) {
  if (argv.size() != 1 || argv[0].empty()) {
    std::fputs("usage: brc <project-root>\n", stderr);
    return 2;
  }
  const std::string root = fs::resolve(fs::expanduser(argv[0]));
  const std::string shown = text::backslashreplace(root);  // as Python's sys.stderr shows it
  if (!fs::is_dir(root)) {
    std::fprintf(stderr, "[brc] Error: project root does not exist: %s\n", shown.c_str());
    return 1;
  }
  const std::string context_file = fs::join(root, AUDIT_CONTEXT);
  std::string context;
  try {
    if (!fs::is_file(context_file)) throw fs::OsError(ENOENT, context_file);
    context = fs::read_text(context_file, text::Errors::Replace);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[brc] Error: no audit context (%s); run the audit on %s first\n", e.what(),
                 shown.c_str());
    return 1;
  }
  if (!which("claude")) {
    print_claude_missing();
    return 1;
  }
  if (::chdir(root.c_str()) != 0) {
    std::fprintf(stderr, "[brc] Error: %s\n", fs::OsError(errno, root).what());
    return 1;
  }
  std::fprintf(stderr, "[brc] Starting claude in %s with the audit context\n", shown.c_str());
  try {
    exec_program("claude", {"claude", audit_prompt(context)}, child_environment());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[brc] Error: could not start claude: %s\n", e.what());
  }
  return 1;
}

}  // namespace kestrune::brc_claude
