#include "kestrune/audit/command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "kestrune/audit/checks.h"
#include "kestrune/audit/report.h"
#include "kestrune/base/args.h"
#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"

namespace kestrune::audit {

namespace {

args::Parser parser() {
  args::Parser p("audit", "Kestrune Vibe Code Auditor");
  p.text({"--root"}, ".", "Project root");
  p.text({"--out"}, std::nullopt, "JSON report output path");
  p.flag({"--json"}).flag({"--no-color"});
  p.flag({"--fix"}, "After report, launch brc with audit context pre-loaded");
  return p;
}

bool no_color_env() {
  const char* v = std::getenv("NO_COLOR");
  return v && *v;
}

}  // namespace

int command_main(int argc, char** argv, const CommandEnv& env) {
  using command::err;
  using command::out;
  return command::run("audit: error: ", [&] {
    const args::Result opt = parser().parse({argv + 1, argv + argc});
    const std::string root = fs::resolve(fs::expanduser(opt.text("root")));
    const bool color = env.color && !opt.flag("no_color") && !no_color_env();
    err("\nKestrune Auditor — " + fs::name(root) + "\n");

    json::Object r;
    try {
      r = run_audit(root, err);
    } catch (const NoGraph&) {
      return 1;
    }

    const std::string report_path =
        opt.optional_text("out").value_or(fs::join(fs::join(root, ".braid"), "audit_report.json"));
    fs::makedirs(fs::parent(report_path));
    const std::string report = report_json(r);
    fs::write_atomic(report_path, report);
    const std::string context_path = write_audit_context(root, r);

    if (opt.flag("json")) {
      out(report + "\n");
    } else {
      out(format_report(root, r, color) + "\n");
      err("\n  JSON:    " + report_path + "\n  Context: " + context_path + "\n");
    }

    if (opt.flag("fix")) {
      const std::string installed = fs::join(fs::join(env.pkg_dir, "bin"), "brc");
      const std::string program = fs::exists(installed) ? installed : "brc";
      err("\n  Launching brc with audit context...\n");
      std::vector<char*> args = {const_cast<char*>(program.c_str()), const_cast<char*>(root.c_str()), nullptr};
      ::execv(program.c_str(), args.data());
      throw std::runtime_error("cannot launch brc: " + std::string(fs::OsError(errno, program).what()));
    }
    return 0;
  });
}

}  // namespace kestrune::audit
