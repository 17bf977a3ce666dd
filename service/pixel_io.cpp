#include "stego/stego.h"

std::ostream& operator<<(std::ostream& out, const pixel& position) {
  return out << position.x << ':' << position.y;
}
