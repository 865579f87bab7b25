// The program's layout registry: panel, control and callback names of the
// layout file, for the run-time back ends.
#pragma once

#include "runtime/layout.h"

namespace korven {

const rt::LayoutRegistry& KorvenLayoutRegistry();

} // namespace korven
