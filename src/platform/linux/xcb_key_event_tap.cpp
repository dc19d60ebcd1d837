#include "platform/linux/xcb_key_event_tap.h"

#include <xcb/xinput.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/x11_key_translator.h"
#include "platform/linux/xcb_handles.h"
#include "runtime/weak_task.h"

namespace glimra {
namespace {

constexpr KeyEventMask kKeyTypes =
    maskOf(key_event_types::kKeyDown) | maskOf(key_event_types::kFlagsChanged);
constexpr KeyEventMask kButtonTypes =
    maskOf(key_event_types::kLeftMouseDown) | maskOf(key_event_types::kRightMouseDown) |
    maskOf(key_event_types::kScrollWheel) | maskOf(key_event_types::kOtherMouseDown);

// Gives the translator the first keysym of every keycode. False when the
// server does not answer.
bool loadKeyboardMapping(xcb_connection_t* connection, X11KeyTranslator& translator) {
  const xcb_setup_t* setup = xcb_get_setup(connection);
  const auto keycodeCount = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  xcb_generic_error_t* error = nullptr;
  xcb::Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
      connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, keycodeCount), &error));
  const xcb::Error released(error);
  if (!mapping) return false;

  const int perKeycode = mapping->keysyms_per_keycode;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
  const int length = xcb_get_keyboard_mapping_keysyms_length(mapping.get());
  std::vector<std::uint32_t> firstKeysyms;
  for (int index = 0; perKeycode > 0 && index + perKeycode <= length; index += perKeycode) {
    firstKeysyms.push_back(keysyms[index]);
  }
  translator.setKeyboardMapping(setup->min_keycode, std::move(firstKeysyms));
  return true;
}

// Caps Lock is a lock, so it may be on before the tap sees any press; the
// core Lock modifier tells.
bool capsLockIsOn(xcb_connection_t* connection, xcb_window_t root) {
  xcb_generic_error_t* error = nullptr;
  xcb::Reply<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), &error));
  const xcb::Error released(error);
  return pointer && (pointer->mask & XCB_MOD_MASK_LOCK) != 0;
}

std::uint32_t rawEventsFor(KeyEventMask mask) {
  std::uint32_t events = 0;
  // Button events carry the flag word too, and only the key events keep it
  // current.
  if ((mask & (kKeyTypes | kButtonTypes)) != 0) {
    events |= XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
  }
  if ((mask & kButtonTypes) != 0) events |= XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS;
  return events;
}

// Raw events can be selected on a root window only. The master devices
// report what all their slave keyboards and pointers do, each event once.
bool selectRawEvents(xcb_connection_t* connection, xcb_window_t root, std::uint32_t events) {
  struct {
    xcb_input_event_mask_t header;
    std::uint32_t bits;
  } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, events};
  const xcb::Error error(xcb_request_check(
      connection, xcb_input_xi_select_events_checked(connection, root, 1, &selection.header)));
  return error == nullptr;
}

}  // namespace

class XcbKeyEventTap::Reader {
 public:
  Reader(xcb::Connection connection, std::uint8_t xinputOpcode, X11KeyTranslator translator,
         KeyEventMask mask, KeyEventCallback onEvent)
      : connection_(std::move(connection)),
        xinputOpcode_(xinputOpcode),
        translator_(std::move(translator)),
        mask_(mask),
        onEvent_(std::move(onEvent)) {}

  bool attach(MainLoop& mainLoop, Task onReadable);
  void enable() { enabled_ = true; }
  // The tap is going: no more events, and off the main loop.
  void stop();
  void readEvents();

 private:
  void handleEvent(const xcb_generic_event_t& event);
  std::optional<KeyEvent> translate(const xcb_ge_generic_event_t& event);
  void deliver(const KeyEvent& event);

  xcb::Connection connection_;
  const std::uint8_t xinputOpcode_;
  X11KeyTranslator translator_;
  const KeyEventMask mask_;
  const KeyEventCallback onEvent_;
  std::unique_ptr<LoopSource> watch_;
  bool enabled_ = false;
  bool stopped_ = false;
};

bool XcbKeyEventTap::Reader::attach(MainLoop& mainLoop, Task onReadable) {
  // Events that came in with the replies while the tap was made wait in
  // xcb's queue, where no readable descriptor announces them. Reading them
  // now also finds out whether the server is still there.
  readEvents();
  if (xcb_connection_has_error(connection_.get()) != 0) return false;
  watch_ =
      mainLoop.watchReadable(xcb_get_file_descriptor(connection_.get()), std::move(onReadable));
  return true;
}

void XcbKeyEventTap::Reader::stop() {
  stopped_ = true;
  watch_.reset();
}

void XcbKeyEventTap::Reader::readEvents() {
  while (!stopped_) {
    const xcb::Reply<xcb_generic_event_t> event(xcb_poll_for_event(connection_.get()));
    if (!event) break;
    handleEvent(*event);
  }
  // xcb_poll_for_event also answers null once the server is gone. Its
  // descriptor then stays readable for good, so the watch would spin.
  if (xcb_connection_has_error(connection_.get()) != 0) watch_.reset();
}

void XcbKeyEventTap::Reader::handleEvent(const xcb_generic_event_t& event) {
  // The top bit marks an event that a client sent with SendEvent.
  const std::uint8_t type = event.response_type & 0x7F;
  if (type == XCB_MAPPING_NOTIFY) {
    // Sent to clients that do not use XKB whenever the keymap changes, also
    // when the master keyboard switches to a slave with another layout.
    const auto& notify = reinterpret_cast<const xcb_mapping_notify_event_t&>(event);
    if (notify.request == XCB_MAPPING_KEYBOARD) loadKeyboardMapping(connection_.get(), translator_);
    return;
  }
  if (type != XCB_GE_GENERIC) return;
  const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
  if (generic.extension != xinputOpcode_) return;
  if (const std::optional<KeyEvent> translated = translate(generic)) deliver(*translated);
}

std::optional<KeyEvent> XcbKeyEventTap::Reader::translate(const xcb_ge_generic_event_t& event) {
  // Raw key and button events share one layout. The translator sees every
  // key event, delivered or not, so the flag word stays current.
  const auto& raw = reinterpret_cast<const xcb_input_raw_key_press_event_t&>(event);
  switch (raw.event_type) {
    case XCB_INPUT_RAW_KEY_PRESS:
      return translator_.keyPressed(raw.detail,
                                    (raw.flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT) != 0);
    case XCB_INPUT_RAW_KEY_RELEASE:
      return translator_.keyReleased(raw.detail);
    case XCB_INPUT_RAW_BUTTON_PRESS:
      return translator_.buttonPressed(raw.detail);
    default:
      return std::nullopt;
  }
}

void XcbKeyEventTap::Reader::deliver(const KeyEvent& event) {
  if (!enabled_ || (mask_ & maskOf(event.type)) == 0) return;
  onEvent_(event);
}

std::unique_ptr<XcbKeyEventTap> XcbKeyEventTap::create(KeyEventMask mask,
                                                       KeyEventCallback onEvent) {
  int screenNumber = 0;
  xcb::Connection connection = xcb::connectToDisplay(&screenNumber);
  if (!connection) return nullptr;
  const xcb_screen_t* screen = xcb::screenOfDisplay(connection.get(), screenNumber);
  if (screen == nullptr) return nullptr;
  const std::optional<std::uint8_t> opcode = xcb::xinput22Opcode(connection.get());
  if (!opcode) return nullptr;

  X11KeyTranslator translator;
  if (!loadKeyboardMapping(connection.get(), translator)) return nullptr;
  translator.setCapsLockOn(capsLockIsOn(connection.get(), screen->root));
  if (!selectRawEvents(connection.get(), screen->root, rawEventsFor(mask))) return nullptr;

  return std::unique_ptr<XcbKeyEventTap>(new XcbKeyEventTap(std::make_shared<Reader>(
      std::move(connection), *opcode, std::move(translator), mask, std::move(onEvent))));
}

XcbKeyEventTap::XcbKeyEventTap(std::shared_ptr<Reader> reader) : reader_(std::move(reader)) {}

XcbKeyEventTap::~XcbKeyEventTap() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  // When the tap goes from within its own callback, the watch's task still
  // holds the reader, which stops reading at once.
  reader_->stop();
}

bool XcbKeyEventTap::attachToMainLoop(MainLoop& mainLoop) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  return reader_->attach(mainLoop, weakTask(reader_, [](Reader& reader) { reader.readEvents(); }));
}

void XcbKeyEventTap::enable() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  reader_->enable();
}

}  // namespace glimra
