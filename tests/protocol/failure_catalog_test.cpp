#include "protocol/failure_catalog.h"

#include <gtest/gtest.h>

#include <regex>

namespace glimra {
namespace {

using failures::Listener;

struct CatalogCase {
  GlimraFailure failure;
  std::string code;
  std::string message;
};

// The host application matches on these exact texts.
TEST(FailureCatalogTest, EveryFailureHasItsCodeAndMessage) {
  const CatalogCase cases[] = {
      {failures::invalidArguments("--pid requires a process id."), "invalid_arguments",
       "--pid requires a process id."},
      {failures::helperFailed("boom"), "helper_failed", "boom"},
      {failures::outputDirectoryUnavailable("Permission denied"), "output_directory_unavailable",
       "Could not prepare the private capture directory: Permission denied"},
      {failures::inputMonitoringRequired(Listener::optionChord), "input-monitoring-required",
       "Input Monitoring permission is required to watch both Option keys."},
      {failures::inputMonitoringRequired(Listener::voiceChord), "input-monitoring-required",
       "Input Monitoring permission is required to watch modifier-key shortcuts."},
      {failures::eventTapCreationFailed(Listener::optionChord), "event_tap_unavailable",
       "macOS could not create the passive Option-key listener."},
      {failures::eventTapAttachFailed(Listener::optionChord), "event_tap_unavailable",
       "macOS could not attach the Option-key listener to the run loop."},
      {failures::eventTapCreationFailed(Listener::voiceChord), "event_tap_unavailable",
       "macOS could not create the passive voice chord listener."},
      {failures::eventTapAttachFailed(Listener::voiceChord), "event_tap_unavailable",
       "macOS could not attach the voice chord listener to the run loop."},
      {failures::eventTapDisabled(Listener::optionChord), "event_tap_disabled",
       "macOS disabled the Option-key listener; the helper re-enabled it."},
      {failures::eventTapDisabled(Listener::voiceChord), "event_tap_disabled",
       "macOS disabled the voice chord listener; the helper re-enabled it."},
      {failures::captureInProgress(), "capture_in_progress",
       "A previous Glimra capture is still in progress."},
      {failures::screenRecordingRequired(), "screen-recording-required",
       "Screen Recording permission is required to capture a window."},
      {failures::captureProcessingFailed("d"), "capture_processing_failed",
       "Could not process the captured window: d"},
      {failures::noFrontmostApplication(), "no_frontmost_application",
       "There is no frontmost application to capture."},
      {failures::excludedFrontmostApplication(), "excluded_frontmost_application",
       "Ostrel cannot capture its own window."},
      {failures::windowListUnavailable(), "window_list_unavailable",
       "The window manager did not provide a window list."},
      {failures::noEligibleWindow(), "no_eligible_window",
       "The frontmost application has no visible, shareable layer-0 window."},
      {failures::shareableContentUnavailable("d"), "shareable_content_unavailable",
       "Could not read shareable windows: d"},
      {failures::windowUnavailable(), "window_unavailable",
       "The selected window disappeared before it could be captured."},
      {failures::invalidWindowDimensions(), "invalid_window_dimensions",
       "The selected window has invalid capture dimensions."},
      {failures::captureSetupFailed("d"), "capture_setup_failed",
       "Could not configure window capture: d"},
      {failures::captureStartFailed("d"), "capture_start_failed",
       "Could not start window capture: d"},
      {failures::captureTimedOut(), "capture_timed_out",
       "Timed out while preparing or capturing the window."},
      {failures::captureStopped("d"), "capture_stopped", "Window capture stopped unexpectedly: d"},
      {failures::frameConversionFailed(), "frame_conversion_failed",
       "Could not convert the captured frame into an image."},
      {failures::pngEncodingFailed(), "png_encoding_failed",
       "Could not encode the captured window as PNG."},
      {failures::pngTooLarge(), "png_too_large",
       "The captured window could not be reduced below the 10 MiB image limit."},
      {failures::outputWriteFailed("No space left on device"), "output_write_failed",
       "Could not write the captured PNG: No space left on device"},
  };
  const std::regex codeForm("[a-z]+([_-][a-z0-9]+)*");
  for (const CatalogCase& c : cases) {
    EXPECT_EQ(c.failure.code, c.code);
    EXPECT_EQ(c.failure.message, c.message) << c.code;
    EXPECT_TRUE(std::regex_match(c.failure.code, codeForm)) << c.code;
  }
}

TEST(FailureCatalogTest, DescriptionsFromThePlatformAreMadeValidUTF8) {
  EXPECT_EQ(failures::outputWriteFailed("disk \xFF").message,
            "Could not write the captured PNG: disk \xEF\xBF\xBD");
  EXPECT_EQ(failures::helperFailed("").message, "");
}

}  // namespace
}  // namespace glimra
