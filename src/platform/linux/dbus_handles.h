#pragma once

#include <dbus/dbus.h>

#include <memory>
#include <string>

// Owning handles for libdbus, and the one way the Linux backend (and its
// tests) open a connection: private, so nothing else in the process shares
// or closes it.

namespace glimra::dbus {

struct MessageDeleter {
  void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageDeleter>;

// A connection from dbus_connection_open_private, which its owner must
// close before the last reference goes.
struct PrivateConnectionDeleter {
  void operator()(DBusConnection* connection) const {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
  }
};
using PrivateConnection = std::unique_ptr<DBusConnection, PrivateConnectionDeleter>;

class Error {
 public:
  Error() { dbus_error_init(&error_); }
  ~Error() { dbus_error_free(&error_); }
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  DBusError* get() { return &error_; }
  // The error's D-Bus name, or empty when none is set.
  std::string name() const { return dbus_error_is_set(&error_) ? error_.name : ""; }

 private:
  DBusError error_;
};

// A method call; none only when libdbus is out of memory.
inline Message methodCall(const char* destination, const char* path, const char* interface,
                          const char* method) {
  return Message(dbus_message_new_method_call(destination, path, interface, method));
}

// The reply of a method call, or the name of the error that came instead.
struct CallOutcome {
  Message reply;
  std::string errorName;
};

// Sends `message` and waits at most `timeoutMilliseconds` for its reply.
inline CallOutcome callAndWait(DBusConnection* connection, DBusMessage* message,
                               int timeoutMilliseconds) {
  Error error;
  CallOutcome outcome;
  outcome.reply.reset(dbus_connection_send_with_reply_and_block(connection, message,
                                                                timeoutMilliseconds, error.get()));
  if (!outcome.reply) outcome.errorName = error.name();
  return outcome;
}

// A private connection to the bus at `address` that has answered its Hello
// within `timeoutMilliseconds`, or none. A lost connection never ends the
// process.
inline PrivateConnection openPrivateBus(const std::string& address, int timeoutMilliseconds) {
  Error error;
  PrivateConnection connection(dbus_connection_open_private(address.c_str(), error.get()));
  if (!connection) return nullptr;
  dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
  const Message hello = methodCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello");
  if (!hello || !callAndWait(connection.get(), hello.get(), timeoutMilliseconds).reply) {
    return nullptr;
  }
  return connection;
}

}  // namespace glimra::dbus
