// quelmark: provisioning terminals from the command line (see cli/README.md).
#include "cli/quelmark.h"

int main(int argc, char** argv) {
  qcli::RealHost host;
  return qcli::Main(host, std::vector<std::string>(argv + 1, argv + argc));
}
