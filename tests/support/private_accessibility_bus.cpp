#include "support/private_accessibility_bus.h"

#include <dbus/dbus.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <poll.h>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/dbus_handles.h"

namespace glimra::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::chrono::seconds kStartupTimeout{10};
constexpr std::chrono::milliseconds kStopGracePeriod{2000};
constexpr std::chrono::milliseconds kPollPause{10};
constexpr int kCallTimeoutMilliseconds = 2000;

// Debian's place first, then that of older releases.
constexpr const char* kLauncherPaths[] = {"/usr/libexec/at-spi-bus-launcher",
                                          "/usr/lib/at-spi2-core/at-spi-bus-launcher"};

// A session bus of our own: one socket, authentication as the same user,
// everything allowed, and no service directories, so nothing is ever
// activated behind the test's back.
constexpr char kSessionConfiguration[] = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// ---- libdbus, just enough to wait for the daemons -------------------------

using dbus::Message;

// A private connection to the bus at `address`, or none.
dbus::PrivateConnection connectTo(const std::string& address) {
  return dbus::openPrivateBus(address, kCallTimeoutMilliseconds);
}

Message call(DBusConnection* connection, Message message, int timeoutMilliseconds) {
  return dbus::callAndWait(connection, message.get(), timeoutMilliseconds).reply;
}

Message busDaemonCall(const char* method, const char* name) {
  Message message =
      dbus::methodCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, method);
  dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
  return message;
}

std::optional<std::string> addressOfAccessibilityBus(DBusConnection* session) {
  Message reply =
      call(session, dbus::methodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"),
           kCallTimeoutMilliseconds);
  const char* address = nullptr;
  if (!reply ||
      !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID)) {
    return std::nullopt;
  }
  return std::string(address);
}

pid_t processOfName(DBusConnection* bus, const char* name) {
  Message reply =
      call(bus, busDaemonCall("GetConnectionUnixProcessID", name), kCallTimeoutMilliseconds);
  dbus_uint32_t pid = 0;
  if (!reply ||
      !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID)) {
    return -1;
  }
  return static_cast<pid_t>(pid);
}

// ---- Processes that are not our children ------------------------------------

// Whether `pid` has exited: gone, or a zombie its parent has not reaped
// (where init does not reap, orphans stay zombies).
bool processHasExited(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t end = line.rfind(')');
  return end == std::string::npos || end + 2 >= line.size() || line[end + 2] == 'Z';
}

bool awaitProcessExit(pid_t pid, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  while (!processHasExited(pid)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPause);
  }
  return true;
}

void stopProcess(pid_t pid) {
  if (pid <= 0 || processHasExited(pid)) return;
  ::kill(pid, SIGTERM);
  if (awaitProcessExit(pid, kStopGracePeriod)) return;
  ::kill(pid, SIGKILL);
  awaitProcessExit(pid, kStopGracePeriod);
}

}  // namespace

std::unique_ptr<PrivateAccessibilityBus> PrivateAccessibilityBus::start(const Options& options) {
  std::string path = (std::filesystem::temp_directory_path() / "glimra-a11y-XXXXXX").string();
  if (mkdtemp(path.data()) == nullptr) {
    throw std::runtime_error("cannot create a runtime directory: " +
                             std::generic_category().message(errno));
  }
  // From here on the destructor cleans up whatever has been started.
  std::unique_ptr<PrivateAccessibilityBus> bus(new PrivateAccessibilityBus(path));
  bus->environment_ = {
      {"DISPLAY", options.display},           {"XDG_RUNTIME_DIR", path},
      {"GSETTINGS_BACKEND", "memory"},        {"AT_SPI_BUS_ADDRESS", std::nullopt},
      {"AT_SPI_DISPLAY", std::nullopt},       {"WAYLAND_DISPLAY", std::nullopt},
      {"DBUS_STARTER_ADDRESS", std::nullopt}, {"DBUS_STARTER_BUS_TYPE", std::nullopt}};
  bus->startSessionBus();
  bus->startLauncher(options);
  bus->startRegistry();
  return bus;
}

PrivateAccessibilityBus::PrivateAccessibilityBus(std::filesystem::path runtimeDirectory)
    : runtimeDirectory_(std::move(runtimeDirectory)), log_(makeMemoryLog("accessibility-bus")) {}

PrivateAccessibilityBus::~PrivateAccessibilityBus() {
  // The launcher's group holds the accessibility bus and the registry too;
  // the launcher takes the bus down and clears what it published.
  if (launcher_) launcher_->stop(kStopGracePeriod);
  stopProcess(registryPid_);
  stopProcess(accessibilityBusPid_);
  if (sessionBus_) sessionBus_->stop(kStopGracePeriod);
  std::error_code ignored;
  std::filesystem::remove_all(runtimeDirectory_, ignored);
}

void PrivateAccessibilityBus::startSessionBus() {
  const std::filesystem::path socket = runtimeDirectory_ / "bus";
  std::string configuration = kSessionConfiguration;
  configuration.replace(configuration.find("@SOCKET@"), 8, socket.string());
  const std::filesystem::path configurationFile = runtimeDirectory_ / "session.conf";
  std::ofstream(configurationFile) << configuration;
  std::filesystem::create_directories(runtimeDirectory_ / "home");

  sessionBusAddress_ = "unix:path=" + socket.string();
  environment_["DBUS_SESSION_BUS_ADDRESS"] = sessionBusAddress_;
  Pipe address = makePipe();
  sessionBus_ = ChildProcess::spawn(
      "dbus-daemon", {.arguments = {"--config-file=" + configurationFile.string(), "--nofork",
                                    "--print-address=3"},
                      .environment = environment_,
                      .standardOutput = log_.get(),
                      .standardError = log_.get(),
                      .passedDescriptor = address.writeEnd.get()});
  sessionBusPid_ = sessionBus_->pid();
  address.writeEnd.reset();

  // dbus-daemon prints its address once it accepts connections.
  const Clock::time_point deadline = Clock::now() + kStartupTimeout;
  std::string printed;
  while (printed.find('\n') == std::string::npos) {
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (remaining <= 0ms) {
      throw std::runtime_error("dbus-daemon did not start within 10 s\n" + logTail(log_));
    }
    pollfd polled{address.readEnd.get(), POLLIN, 0};
    if (poll(&polled, 1, static_cast<int>(remaining.count())) <= 0) continue;
    char buffer[256];
    const ssize_t count = read(address.readEnd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) throw std::runtime_error("dbus-daemon exited\n" + logTail(log_));
    printed.append(buffer, static_cast<size_t>(count));
  }
}

void PrivateAccessibilityBus::startLauncher(const Options& options) {
  const char* launcher = nullptr;
  for (const char* candidate : kLauncherPaths) {
    if (access(candidate, X_OK) == 0) launcher = candidate;
    if (launcher != nullptr) break;
  }
  if (launcher == nullptr) throw std::runtime_error("at-spi-bus-launcher is not installed");

  EnvironmentChanges environment = environment_;
  environment["HOME"] = (runtimeDirectory_ / "home").string();
  environment["XDG_CONFIG_HOME"] = std::nullopt;
  environment["XDG_DATA_HOME"] = std::nullopt;
  environment["XDG_CACHE_HOME"] = std::nullopt;
  // Its own group, so that stopping it reaches the bus and the registry it
  // starts.
  launcher_ = ChildProcess::spawn(
      launcher, {.arguments = {"--launch-immediately",
                               options.accessibilityEnabled ? "--a11y=1" : "--a11y=0"},
                 .environment = std::move(environment),
                 .standardOutput = log_.get(),
                 .standardError = log_.get(),
                 .ownProcessGroup = true});
  launcherPid_ = launcher_->pid();

  const dbus::PrivateConnection session = connectTo(sessionBusAddress_);
  if (!session) throw std::runtime_error("cannot connect to the private session bus");
  const Clock::time_point deadline = Clock::now() + kStartupTimeout;
  while (true) {
    if (std::optional<std::string> address = addressOfAccessibilityBus(session.get())) {
      accessibilityBusAddress_ = std::move(*address);
      return;
    }
    if (launcher_->hasExited() || Clock::now() >= deadline) {
      throw std::runtime_error("at-spi-bus-launcher did not offer a bus within 10 s\n" +
                               logTail(log_));
    }
    std::this_thread::sleep_for(kPollPause);
  }
}

void PrivateAccessibilityBus::startRegistry() {
  const dbus::PrivateConnection bus = connectTo(accessibilityBusAddress_);
  if (!bus) throw std::runtime_error("cannot connect to the accessibility bus");
  accessibilityBusPid_ = processOfName(bus.get(), DBUS_SERVICE_DBUS);

  Message start = busDaemonCall("StartServiceByName", "org.a11y.atspi.Registry");
  const dbus_uint32_t flags = 0;
  dbus_message_append_args(start.get(), DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID);
  const int timeout = static_cast<int>(std::chrono::milliseconds(kStartupTimeout).count());
  if (!call(bus.get(), std::move(start), timeout)) {
    throw std::runtime_error("the registry did not start within 10 s\n" + logTail(log_));
  }
  registryPid_ = processOfName(bus.get(), "org.a11y.atspi.Registry");
  if (registryPid_ <= 0) throw std::runtime_error("the registry left\n" + logTail(log_));
}

}  // namespace glimra::testing
