"""Installs made the way a user makes them, from the CMake build the tests run
from (KESTRUNE_BUILD_DIR): `make install PREFIX=...`, and `pip install
--no-build-isolation .` in a virtual environment. Exits 77 (skipped) when none
of it can run here."""
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = os.environ.get("KESTRUNE_BUILD_DIR", "")
COMMANDS = {"lexscan", "br", "brc-claude", "brc", "audit", "edit_guard", "attention", "kestrune"}
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
PROJECT = {
    "src/api/orders.ts": "import { db } from '../lib/db'\nexport async function GET() { return db.orders }\n",
    "src/lib/db.ts": "export const db = { orders: [] }\n",
}


def run(*args, **kwargs):
    kwargs.setdefault("env", dict(os.environ, PYTHONPATH=""))
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=600, **kwargs)


def write_project(root):
    for rel, text in PROJECT.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    return root


def needs_build(test):
    ok = Path(BUILD, "CMakeCache.txt").exists() and shutil.which("cmake")
    return test if ok else unittest.skip("no CMake build to install from (KESTRUNE_BUILD_DIR)")(test)


@needs_build
class MakeInstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("make"):
            raise unittest.SkipTest("make is not installed")
        cls.tmp = Path(tempfile.mkdtemp())
        cls.prefix = cls.tmp / "prefix"
        # The packages are there (the build exists): a test installs none.
        r = run("make", "install", f"PREFIX={cls.prefix}", f"BUILD={BUILD}", "BOOTSTRAP=true", cwd=REPO)
        assert r.returncode == 0, r.stdout + r.stderr
        cls.pkg = cls.prefix / "lib" / "kestrune" / "kestrune"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_the_package_alone_with_relative_links(self):
        def belongs(rel):
            parts = rel.parts
            if parts in ((("__init__.py",), ("_commands.py",), ("bin",), ("grammars",))):
                return True
            if len(parts) == 1:
                return rel.name.endswith(EXT_SUFFIX)
            return parts[0] in ("bin", "grammars") and len(parts) == 2
        installed = [p.relative_to(self.pkg) for p in self.pkg.rglob("*")]
        self.assertEqual([str(p) for p in installed if not belongs(p)], [])  # no data/, sources, empty folders
        commands = {p.name for p in (self.pkg / "bin").iterdir()}
        self.assertLessEqual(COMMANDS, commands)
        links = {p.name: os.readlink(p) for p in (self.prefix / "bin").iterdir()}
        self.assertEqual(links, {c: f"../lib/kestrune/kestrune/bin/{c}" for c in commands})

    def test_a_moved_prefix_works_and_an_unwritable_data_directory_falls_back(self):
        moved = self.tmp / "moved"
        shutil.copytree(self.prefix, moved, symlinks=True)
        pkg = moved / "lib" / "kestrune" / "kestrune"
        project = write_project(self.tmp / "proj")
        r = run(moved / "bin" / "br", "scan", "--root", project)
        self.assertEqual((r.returncode, r.stdout.splitlines()[-1:]), (0, [f"Wrote: {pkg / 'data' / 'info_graph.json'}"]),
                         r.stderr)
        data_dir = "from kestrune import br; print(br.DATA_DIR)"
        env = dict(os.environ, PYTHONPATH=str(moved / "lib" / "kestrune"), XDG_DATA_HOME=str(self.tmp / "xdg"))
        self.assertEqual(run(sys.executable, "-c", data_dir, env=env).stdout, f"{pkg / 'data'}\n")

        # An install the user cannot write to (here: a file where data/ would be).
        shutil.rmtree(pkg / "data")
        (pkg / "data").write_text("")
        fallback = self.tmp / "xdg" / "kestrune" / "data"
        r = run(moved / "bin" / "br", "action", "log", "--kind", "edit", env=env)
        self.assertEqual((r.returncode, r.stdout), (0, "ok\n"), r.stderr)
        self.assertTrue((fallback / "action_events.jsonl").exists())
        r = run(moved / "bin" / "brc-claude", "--dry-run", "-r", project, "orders", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("No graph found", r.stderr)
        self.assertTrue((fallback / "info_graph.json").exists())
        self.assertEqual(run(sys.executable, "-c", data_dir, env=env).stdout, f"{fallback}\n")


def pip_python():
    """An interpreter with setuptools, wheel and pip (Debian's python3-setuptools, python3-wheel, python3-pip)
    that imports the modules this build made."""
    check = ("import setuptools, wheel, pip, sysconfig, venv; "
             "print(sysconfig.get_config_var('EXT_SUFFIX'))")
    for python in dict.fromkeys((sys.executable, "/usr/bin/python3")):
        if Path(python).exists() and run(python, "-c", check).stdout.strip() == EXT_SUFFIX:
            return python
    return None


@needs_build
class PipInstall(unittest.TestCase):
    def test_package_and_commands_in_a_virtual_environment(self):
        python = pip_python()
        if not python:
            self.skipTest("no Python with setuptools, wheel and pip for this build's modules")
        with tempfile.TemporaryDirectory() as tmp:
            tmp = Path(tmp)
            venv = tmp / "venv"
            r = run(python, "-m", "venv", "--system-site-packages", "--without-pip", venv)
            self.assertEqual(r.returncode, 0, r.stderr)
            env = dict(os.environ, PYTHONPATH="", KESTRUNE_BUILD_DIR=BUILD, PIP_DISABLE_PIP_VERSION_CHECK="1")
            r = run(venv / "bin" / "python", "-m", "pip", "install", "--no-build-isolation", "--no-index",
                    "--no-deps", REPO, env=env)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

            # The package comes from the environment, not from the checkout.
            where = "import kestrune.br as br, kestrune.lexscan; print(br.DATA_DIR)"
            r = run(venv / "bin" / "python", "-c", where, cwd=tmp)
            self.assertEqual(r.returncode, 0, r.stderr)
            data = Path(r.stdout.strip())
            self.assertTrue(data.is_relative_to(venv.resolve()), data)
            for cmd in COMMANDS:
                self.assertTrue((venv / "bin" / cmd).exists(), cmd)
            project = write_project(tmp / "proj")
            r = run(venv / "bin" / "lexscan", "--root", project, "--out", tmp / "g" / "info_graph.json", cwd=tmp)
            self.assertEqual((r.returncode, r.stdout.splitlines()[0]), (0, "Scanned: 2 files, 1 symbols, 2 edges"))
            r = run(venv / "bin" / "br", "scan", "--root", project, cwd=tmp)
            self.assertEqual(r.stdout.splitlines()[-1:], [f"Wrote: {data / 'info_graph.json'}"], r.stderr)
            r = run(venv / "bin" / "brc", "--help", cwd=tmp)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(r.stdout.startswith("usage: brc "))


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(77 if len(result.skipped) == result.testsRun else 0)
