// The server classes print and format numbered messages (a failure element
// carries the text of its message): every test here runs with the catalog open.
#include "tests/support/catalog_env.h"

KMR_REGISTER_CATALOG_ENVIRONMENT()
