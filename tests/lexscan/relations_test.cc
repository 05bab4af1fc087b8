#include <gtest/gtest.h>

#include "kestrune/lexscan/relations.h"
#include "common/testkit.h"

namespace kestrune::lexscan {
namespace {

std::vector<Edge> rels(const std::string& name, const std::string& text) {
  testkit::TempDir d;
  return parse_relations(d.write(name, text), text, d.path());
}

TEST(Relations, ScriptImportsAndRequires) {
  EXPECT_EQ(rels("a.ts", "import { x } from './utils';\nconst fs = require(\"fs\");\nimport React from 'react'\n"
                         "import {\n  y\n} from 'multi';\n"),
            (std::vector<Edge>{{"a.ts", "./utils", "imports"},
                               {"a.ts", "react", "imports"},
                               {"a.ts", "fs", "requires"},
                               {"a.ts", "React", "imports"}}));
  EXPECT_EQ(rels("g.go", "import (\n  \"fmt\"\n  \"os\"\n)\nimport \"net/http\"\n"),
            (std::vector<Edge>{{"g.go", "fmt", "imports"}, {"g.go", "net/http", "imports"}}));
}

TEST(Relations, PythonSwiftCSharpXaml) {
  EXPECT_EQ(rels("pkg/m.py", "import os.path, sys\n  import json\nfrom a.b import c\nimport os.path\n"),
            (std::vector<Edge>{{"pkg/m.py", "os.path", "imports"},
                               {"pkg/m.py", "json", "imports"},
                               {"pkg/m.py", "os.path", "imports"},
                               {"pkg/m.py", "a.b", "imports"}}));
  EXPECT_EQ(rels("s.swift", "import UIKit\n"),
            (std::vector<Edge>{{"s.swift", "UIKit", "imports"}, {"s.swift", "UIKit", "imports"}}));
  EXPECT_EQ(rels("A.cs", "using System.IO;\n"), (std::vector<Edge>{{"A.cs", "System.IO", "imports"}}));
  EXPECT_EQ(rels("A.CS", "using System.IO;\nimport Foo\n"), (std::vector<Edge>{{"A.CS", "Foo", "imports"}}));
  EXPECT_EQ(rels("v.xaml", "x:Class=\"A.B\" x:Class=\"C.D\""), (std::vector<Edge>{{"v.xaml", "A.B", "references"}}));
}

TEST(Relations, MentionsNeedADirectory) {
  EXPECT_EQ(rels("d.md", "See docs/setup.md and README.md, app/x.tsx, y/z.jsonl"),
            (std::vector<Edge>{{"d.md", "docs/setup.md", "references"},
                               {"d.md", "app/x.ts", "references"},
                               {"d.md", "y/z.js", "references"}}));
  EXPECT_TRUE(rels("e.md", "nothing to see").empty());
}

}  // namespace
}  // namespace kestrune::lexscan
