#include "accessibility/focused_text_target.h"

#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "accessibility/focused_element_probe.h"

namespace glimra {
namespace {

// One inspection in progress, shared by the timers of its repeated probes.
struct Inspection {
  AccessibilityService& service;
  MainLoop& mainLoop;
  std::optional<std::int32_t> pid;
  FocusedTextTargetReport report;
  int repeatedProbes = 0;
  FocusedTextTargetCompletion completion;

  void finish() { completion(std::move(report)); }
};

// The application to inspect: the one `pidOverride` names if it is running,
// else the frontmost one, if any.
std::optional<RunningApplication> chooseApplication(AccessibilityService& service,
                                                    std::optional<std::int32_t> pidOverride) {
  if (pidOverride) {
    if (std::optional<RunningApplication> named = service.runningApplication(*pidOverride)) {
      return named;
    }
  }
  return service.frontmostApplication();
}

void reportProbe(Inspection& inspection, FocusedElementProbe probe) {
  FocusedTextTargetReport& report = inspection.report;
  report.trusted = true;
  if (!probe.unknown) report.editable = probe.editable;
  report.role = std::move(probe.role);
  report.subrole = std::move(probe.subrole);
  report.reason = std::move(probe.reason);
  inspection.finish();
}

// The lookup failed with errors: asks once more, to name the error.
void reportWithoutProbe(Inspection& inspection) {
  FocusedTextTargetReport& report = inspection.report;
  report.trusted = true;
  FocusedElementLookup lookup = lookupFocusedElement(inspection.service, inspection.pid);
  if (auto* failed = std::get_if<FocusLookupFailed>(&lookup)) {
    report.reason = std::move(failed->reason);
  } else {
    report.reason = "accessibility_query_failed";
  }
  inspection.finish();
}

// Whether focus may still be moving: no editable element yet, and either
// no role or a container's role.
bool focusMayBeMoving(const FocusedElementProbe& probe) {
  if (probe.editable) return false;
  return !probe.role || isContainerRole(*probe.role);
}

void examine(const std::shared_ptr<Inspection>& inspection,
             std::optional<FocusedElementProbe> probe) {
  if (!probe) return reportWithoutProbe(*inspection);
  if (inspection->repeatedProbes == kMaxRepeatedProbes || !focusMayBeMoving(*probe)) {
    return reportProbe(*inspection, std::move(*probe));
  }
  inspection->mainLoop.postDelayed(kRepeatedProbePause, [inspection] {
    ++inspection->repeatedProbes;
    examine(inspection, probeFocusedElement(inspection->service, inspection->pid));
  });
}

}  // namespace

void inspectFocusedTextTarget(AccessibilityService& service, MainLoop& mainLoop,
                              std::optional<std::int32_t> pidOverride,
                              FocusedTextTargetCompletion completion) {
  auto inspection = std::make_shared<Inspection>(
      Inspection{service, mainLoop, std::nullopt, {}, 0, std::move(completion)});

  // Named before the permission check, so every report names its application.
  const std::optional<RunningApplication> application = chooseApplication(service, pidOverride);
  if (application) {
    inspection->pid = application->processIdentifier;
    inspection->report.appName = application->localizedName;
    inspection->report.bundleIdentifier = application->bundleIdentifier;
  }

  if (!service.isProcessTrusted()) {
    inspection->report.reason = "accessibility_not_trusted";
    return inspection->finish();
  }
  examine(inspection, probeFocusedElement(service, inspection->pid));
}

}  // namespace glimra
