// zefra-helper-client: talks to a running helper from the command line.
#include <string>
#include <vector>

#include "cli/commands.h"

int main(int argc, char** argv) {
  return zefra::client::runCommandLine(std::vector<std::string>(argv + 1, argv + argc));
}
