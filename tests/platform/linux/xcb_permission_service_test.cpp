#include "platform/linux/xcb_permission_service.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/private_x_server.h"
#include "support/scoped_display.h"

namespace glimra {
namespace {

using testing::ScopedDisplay;

TEST(XcbPermissionServiceTest, GrantsBothOnAnXServerWithXInput) {
  const auto server = testing::PrivateXServer::start();
  const ScopedDisplay display(server->display().c_str());
  XcbPermissionService permissions;
  EXPECT_TRUE(permissions.preflightListenEventAccess());
  EXPECT_TRUE(permissions.preflightScreenCaptureAccess());
  EXPECT_TRUE(permissions.requestListenEventAccess());
  EXPECT_TRUE(permissions.requestScreenCaptureAccess());
}

TEST(XcbPermissionServiceTest, DeniesBothWithoutADisplay) {
  for (const char* unusable : {static_cast<const char*>(nullptr), "", ":4095", "nonsense"}) {
    const ScopedDisplay display(unusable);
    XcbPermissionService permissions;
    EXPECT_FALSE(permissions.requestListenEventAccess()) << (unusable ? unusable : "unset");
    EXPECT_FALSE(permissions.requestScreenCaptureAccess());
    EXPECT_FALSE(permissions.preflightListenEventAccess());
    EXPECT_FALSE(permissions.preflightScreenCaptureAccess());
  }
}

TEST(XcbPermissionServiceTest, DeniesBothOnceTheServerIsGone) {
  auto server = testing::PrivateXServer::start();
  const ScopedDisplay display(server->display().c_str());
  XcbPermissionService permissions;
  ASSERT_TRUE(permissions.preflightListenEventAccess());
  server.reset();
  EXPECT_FALSE(permissions.preflightScreenCaptureAccess());
  EXPECT_FALSE(permissions.preflightListenEventAccess());
}

}  // namespace
}  // namespace glimra
