// Test support: opens the English message catalog of the build tree for the
// whole test program, so that numbered messages print their real text.
// Link the program with kmr_catalog_info (it defines KMR_CATALOG_DIR) and
// register the environment once:
//   KMR_REGISTER_CATALOG_ENVIRONMENT();
#ifndef KMR_TESTS_SUPPORT_CATALOG_ENV_H
#define KMR_TESTS_SUPPORT_CATALOG_ENV_H

#include <gtest/gtest.h>

#include "common/messages.h"

namespace kmrtest {

class MessageCatalogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char chosen[64] = "EN_US";
    ASSERT_EQ(dsCoreInit(nullptr, 0), 0);
    ASSERT_EQ(nlinit(KMR_CATALOG_DIR, 10, KMR_CATALOG_DIR, 5, 1, 1, 1, chosen, nullptr), 0);
  }
  void TearDown() override { nlterm(); }
};

}  // namespace kmrtest

#define KMR_REGISTER_CATALOG_ENVIRONMENT()                                      \
  namespace {                                                                   \
  const auto* const kCatalogEnvironment =                                       \
      ::testing::AddGlobalTestEnvironment(new kmrtest::MessageCatalogEnvironment); \
  }

#endif
