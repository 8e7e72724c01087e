// The file system layer reports through numbered messages: every test here
// runs with the catalog open, so the messages carry their identifiers.
#include "tests/support/catalog_env.h"

KMR_REGISTER_CATALOG_ENVIRONMENT()
