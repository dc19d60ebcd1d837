#pragma once

namespace glimra {

// The two privacy permissions the helper needs: Input Monitoring (to watch
// global keys) and Screen Recording (to read window images). Preflights
// report without asking; requests ask the user where the platform has a
// prompt and report whether access is granted. No call ever fails: a
// permission that cannot be confirmed is not granted.
class PermissionService {
 public:
  virtual ~PermissionService() = default;

  virtual bool preflightListenEventAccess() = 0;
  virtual bool preflightScreenCaptureAccess() = 0;
  virtual bool requestListenEventAccess() = 0;
  virtual bool requestScreenCaptureAccess() = 0;
};

}  // namespace glimra
