#include <memory>

#include "platform/linux/xcb_permission_service.h"
#include "platform/platform.h"

namespace glimra {

Platform makePlatform() {
  Platform platform;
  platform.permissions = std::make_unique<XcbPermissionService>();
  return platform;
}

}  // namespace glimra
