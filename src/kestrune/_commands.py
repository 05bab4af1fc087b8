"""The commands an install puts on PATH (pip's console scripts): each replaces
the Python process with the native command of the same name in the package's
bin/ directory, so it behaves exactly as that command does."""
import functools
import os
import sys

BIN_DIR = os.path.join(os.path.dirname(os.path.realpath(__file__)), "bin")

# Entry point name -> native command.
COMMANDS = {
    "lexscan": "lexscan",
    "treescan": "treescan",
    "br": "br",
    "brc_claude": "brc-claude",
    "brc": "brc",
    "audit": "audit",
    "edit_guard": "edit_guard",
    "attention": "attention",
    "kestrune": "kestrune",
}


def run(command):
    """Replace this process with the native command, passing the arguments on."""
    path = os.path.join(BIN_DIR, command)
    try:
        os.execv(path, [path] + sys.argv[1:])
    except OSError as e:
        sys.exit(f"{command}: error: cannot run {path}: {e.strerror}")


globals().update({name: functools.partial(run, command) for name, command in COMMANDS.items()})
