#include "kestrune/audit/command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "kestrune/audit/checks.h"
#include "kestrune/audit/report.h"
#include "kestrune/base/fs.h"

namespace kestrune::audit {

namespace {

constexpr std::string_view kUsage = "usage: audit [-h] [--root ROOT] [--out OUT] [--json] [--no-color] [--fix]\n";
constexpr std::string_view kHelp =
    "\n"
    "Kestrune Vibe Code Auditor\n"
    "\n"
    "options:\n"
    "  -h, --help   show this help message and exit\n"
    "  --root ROOT  Project root\n"
    "  --out OUT    JSON report output path\n"
    "  --json\n"
    "  --no-color\n"
    "  --fix        After report, launch brc with audit context pre-loaded\n";

struct Options {
  std::string root = ".";
  std::optional<std::string> out;
  bool json = false;
  bool no_color = false;
  bool fix = false;
  bool help = false;
};

struct UsageError {
  std::string message;
};

// Long options may be abbreviated to any unique prefix and take their value
// as the next argument or after "=", the way the Python command line did.
Options parse(int argc, char** argv) {
  static constexpr std::string_view kNames[] = {"--root", "--out", "--json", "--no-color", "--fix", "--help"};
  Options o;
  std::vector<std::string> extras;
  bool only_positionals = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (only_positionals || arg.size() < 2 || arg[0] != '-') {
      extras.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      only_positionals = true;
      continue;
    }
    if (arg == "-h") {
      o.help = true;
      return o;
    }
    const size_t eq = arg.find('=');
    const std::string_view flag = arg.substr(0, eq);
    std::optional<std::string_view> inline_value;
    if (eq != std::string_view::npos) inline_value = arg.substr(eq + 1);
    std::vector<std::string_view> hits;
    for (std::string_view name : kNames) {
      if (name == flag) {
        hits = {name};
        break;
      }
      if (flag.size() > 2 && name.starts_with(flag)) hits.push_back(name);
    }
    if (hits.empty()) {
      extras.emplace_back(arg);
      continue;
    }
    if (hits.size() > 1) {
      std::string msg = "ambiguous option: " + std::string(flag) + " could match ";
      for (size_t k = 0; k < hits.size(); ++k) msg += (k ? ", " : "") + std::string(hits[k]);
      throw UsageError{msg};
    }
    const std::string_view name = hits[0];
    if (name == "--root" || name == "--out") {
      std::string value;
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < argc && (argv[i + 1][0] != '-' || std::string_view(argv[i + 1]) == "-")) {
        value = argv[++i];
      } else {
        throw UsageError{"argument " + std::string(name) + ": expected one argument"};
      }
      (name == "--root" ? o.root : o.out.emplace()) = std::move(value);
      continue;
    }
    if (inline_value)
      throw UsageError{"argument " + std::string(name) + ": ignored explicit argument '" + std::string(*inline_value) +
                       "'"};
    if (name == "--help") {
      o.help = true;
      return o;
    }
    (name == "--json" ? o.json : name == "--no-color" ? o.no_color : o.fix) = true;
  }
  if (!extras.empty()) {
    std::string msg = "unrecognized arguments:";
    for (const auto& e : extras) msg += " " + e;
    throw UsageError{msg};
  }
  return o;
}

void err(std::string_view s) {
  std::fwrite(s.data(), 1, s.size(), stderr);
  std::fflush(stderr);
}

// Writes to standard output; false when the reader has gone away.
bool out(std::string_view s) {
  return std::fwrite(s.data(), 1, s.size(), stdout) == s.size() && std::fflush(stdout) == 0;
}

bool no_color_env() {
  const char* v = std::getenv("NO_COLOR");
  return v && *v;
}

}  // namespace

int run_command(int argc, char** argv, const CommandEnv& env) {
  Options opt;
  try {
    opt = parse(argc, argv);
  } catch (const UsageError& e) {
    err(std::string(kUsage) + "audit: error: " + e.message + "\n");
    return 2;
  }
  if (opt.help) return out(std::string(kUsage) + std::string(kHelp)) ? 0 : 1;

  try {
    const std::string root = fs::resolve(fs::expanduser(opt.root));
    const bool color = env.color && !opt.no_color && !no_color_env();
    err("\nKestrune Auditor — " + fs::name(root) + "\n");

    json::Object r;
    try {
      r = run_audit(root, err);
    } catch (const NoGraph&) {
      return 1;
    }

    const std::string report_path = opt.out ? *opt.out : fs::join(fs::join(root, ".braid"), "audit_report.json");
    fs::makedirs(fs::parent(report_path));
    const std::string report = report_json(r);
    fs::write_atomic(report_path, report);
    const std::string context_path = write_audit_context(root, r);

    if (opt.json) {
      if (!out(report + "\n")) return 1;
    } else {
      if (!out(format_report(root, r, color) + "\n")) return 1;
      err("\n  JSON:    " + report_path + "\n  Context: " + context_path + "\n");
    }

    if (opt.fix) {
      const std::string installed = fs::join(fs::join(env.pkg_dir, "bin"), "brc");
      const std::string program = fs::exists(installed) ? installed : "brc";
      err("\n  Launching brc with audit context...\n");
      std::fflush(stdout);
      std::vector<char*> args = {const_cast<char*>(program.c_str()), const_cast<char*>(root.c_str()), nullptr};
      ::execv(program.c_str(), args.data());
      err("audit: cannot launch brc: " + std::string(fs::OsError(errno, program).what()) + "\n");
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    err(std::string("audit: ") + e.what() + "\n");
    return 1;
  }
}

}  // namespace kestrune::audit
