#pragma once

#include <memory>

#include "platform/permission_service.h"

namespace glimra {

// The operating system's services, one interface each, as the core sees
// them. The entry builds one Platform per run after the command line has
// been parsed; backends connect to their servers lazily, on first use.
struct Platform {
  std::unique_ptr<PermissionService> permissions;
};

// Builds the Platform of the operating system this binary was built for.
Platform makePlatform();

}  // namespace glimra
