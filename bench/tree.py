"""A large, realistic project tree for the scanner benchmark, built from the
bundled example project and the repository's own sources."""
import shutil
from pathlib import Path

# Source suffixes of this repository and the scannable suffixes their copies get:
# C++ reads much like C# and TypeScript to the extractors.
RENAMES = {".cc": [".cs", ".ts"], ".h": [".ts"], ".py": [".py"], ".md": [".md"], ".json": [".json"]}


def _sources(repo: Path):
    for p in sorted((repo / "src").rglob("*")) + sorted((repo / "tests").rglob("*")) + sorted((repo / "examples").rglob("*")):
        if p.is_file() and p.suffix in RENAMES.keys() | {".ts", ".tsx", ".go"} and ".braid" not in p.parts:
            yield p


def build_tree(repo: Path, dest: Path, copies: int) -> Path:
    stamp = dest / ".complete"
    if stamp.exists() and stamp.read_text() == str(copies):
        return dest
    shutil.rmtree(dest, ignore_errors=True)
    sources = list(_sources(repo))
    for i in range(copies):
        for src in sources:
            rel = src.relative_to(repo)
            for suffix in RENAMES.get(src.suffix, [src.suffix]):
                name = f"{src.stem}_{i}{suffix}"
                target = dest / f"pkg{i % 7}" / f"copy{i}" / rel.parent / name
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(src, target)
    stamp.write_text(str(copies))
    return dest
