// How gtest prints the picture model's values in its failure messages.
// For tests that link the sng library.
#pragma once

#include <ostream>

#include "sng/sng.h"

inline void PrintTo(const pcolor& color, std::ostream* out) {
  *out << '(' << color.r << ", " << color.g << ", " << color.b << ", "
       << color.a << ')';
}
