#pragma once

#include <cassert>
#include <thread>

namespace glimra {

// Checks in debug builds that every call of a class happens on one thread:
// the one of its first checked call. A class bound to the main loop holds
// one and checks it at the top of each public method. Compiled out with
// NDEBUG.
class SequenceChecker {
 public:
  bool calledOnValidSequence() const {
#ifndef NDEBUG
    const std::thread::id current = std::this_thread::get_id();
    if (owner_ == std::thread::id()) owner_ = current;
    return owner_ == current;
#else
    return true;
#endif
  }

  // Lets the next checked call bind the checker to its thread.
  void detach() { owner_ = std::thread::id(); }

 private:
  mutable std::thread::id owner_;
};

}  // namespace glimra

#define GLIMRA_CHECK_SEQUENCE(checker) assert((checker).calledOnValidSequence())
