#include "tests/unit/reconcile/reconcile_fixture.h"

// Registered before main runs, so the namespace is entered while the
// process still has a single thread.
static ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new rectest::Environment);
