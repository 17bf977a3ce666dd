#include <cstdlib>

#include "service/quarn.h"

int main() {
  // Connection threads may still be running when the accept loop fails, so
  // the process ends without destroying anything they might use.
  std::_Exit(run_service());
}
