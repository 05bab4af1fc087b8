#include <cstdio>
#include <exception>

#include "kestrune/base/text.h"
#include "kestrune/brc_claude/brc_claude.h"

int main(int argc, char** argv) {
  try {
    return kestrune::brc_claude::main({argv + 1, argv + argc});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[brc] Error: %s\n", kestrune::text::backslashreplace(e.what()).c_str());
    return 1;
  }
}
