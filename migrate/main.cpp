// kmrmigrate: migrates files of HSM-managed file systems to the storage server.
#include "migrate/migrate.h"

int main(int argc, char** argv) { return runMigrate(argc, argv); }
