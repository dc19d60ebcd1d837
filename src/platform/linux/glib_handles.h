#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

// Owning handles for what GLib hands out, so every early return releases it.

namespace glimra::glib {

struct FreeDeleter {
  void operator()(gpointer memory) const { g_free(memory); }
};
// A string GLib allocated.
using Text = std::unique_ptr<gchar, FreeDeleter>;

struct KeyFileDeleter {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileDeleter>;

struct ObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
// One reference to a GObject.
template <typename T>
using Object = std::unique_ptr<T, ObjectDeleter>;

}  // namespace glimra::glib
