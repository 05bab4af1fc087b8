// br reads its graph and index files mapped (base/mapped_file.h).
#pragma once

#include "kestrune/base/mapped_file.h"

namespace kestrune::br {

using fs::MappedFile;

}  // namespace kestrune::br
