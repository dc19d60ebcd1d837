#include "cli/list_open_with_mode.h"

#include <utility>

namespace glimra {

Event openWithApplicationsEvent(const std::vector<OpenWithApplication>& applications) {
  Event list = Event::array();
  for (const OpenWithApplication& application : applications) {
    Event entry = Event::object();
    entry["id"] = application.id;
    entry["label"] = application.label;
    entry["applicationPath"] = application.applicationPath;
    entry["isWebBrowser"] = application.isWebBrowser ? "true" : "false";
    list.push_back(std::move(entry));
  }
  Event event = Event::object();
  event["type"] = "openWithApplications";
  event["applications"] = std::move(list);
  return event;
}

void runListOpenWithMode(const modes::ListOpenWith& mode, NDJSONEmitter& emitter,
                         ApplicationRegistry& registry) {
  emitter.emit(openWithApplicationsEvent(openWithApplications(mode.fileURL, registry)));
}

}  // namespace glimra
