// Compiled the way a host is (the command line's and the desktop tool's libraries), this must
// not build: hosts see the public headers only, so the layer check is backed by the build.
#include "link/frames.hpp"

int main() {
  return 0;
}
