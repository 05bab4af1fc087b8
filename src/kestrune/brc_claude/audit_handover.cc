// What `audit --fix` hands over to: an interactive claude session in the
// project root whose first prompt is the audit's context file.
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "kestrune/base/command.h"
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

int hand_over_audit(const std::string& root) {
  const std::string context_file = fs::join(root, AUDIT_CONTEXT);
  std::string context;
  try {
    if (!fs::is_file(context_file)) throw fs::OsError(ENOENT, context_file);
    context = fs::read_text(context_file, text::Errors::Replace);
  } catch (const std::exception& e) {
    command::err("[brc] Error: no audit context (" + std::string(e.what()) + "); run the audit on " + root +
                 " first\n");
    return 1;
  }
  if (!which("claude")) {
    print_claude_missing();
    return 1;
  }
  if (::chdir(root.c_str()) != 0) throw fs::OsError(errno, root);
  command::err("[brc] Starting claude in " + root + " with the audit context\n");
  try {
    exec_program("claude", {"claude", audit_prompt(context)}, child_environment());
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("could not start claude: ") + e.what());
  }
}

}  // namespace kestrune::brc_claude
