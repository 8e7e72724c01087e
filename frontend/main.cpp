// kmrmigundelete: recreates the deleted stub files of HSM-managed file
// systems from the storage server's records.
#include "frontend/migundelete.h"

int main(int argc, char** argv) {
  { Migundelete run(argc, argv); }
  return 0;
}
