#pragma once

#include <memory>
#include <utility>

#include "runtime/task.h"

namespace glimra {

// A task that calls `action(owner)` if `owner` still exists when it runs,
// and does nothing otherwise. Posted tasks, timers and platform callbacks
// hold their owner this way, never by a raw `this`. The action may change
// what it captured, so a task that runs once can move its data along.
template <typename Owner, typename Action>
Task weakTask(const std::shared_ptr<Owner>& owner, Action action) {
  return [weakOwner = std::weak_ptr<Owner>(owner), action = std::move(action)]() mutable {
    if (const std::shared_ptr<Owner> strongOwner = weakOwner.lock()) action(*strongOwner);
  };
}

}  // namespace glimra
