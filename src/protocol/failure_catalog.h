#pragma once

#include <string_view>

#include "protocol/glimra_failure.h"

// Every failure the helper can report, with its code and its message. Each
// code and message is written once, here; the rest of the program builds its
// failures through these functions. Parameters named `description` take the
// platform's description of an underlying error, appended after the fixed
// prefix of the message.
namespace glimra::failures {

// Command line. The fifteen messages belong to the argument grammar.
GlimraFailure invalidArguments(std::string_view message);

// An error that nothing else handled reached the process entry.
GlimraFailure helperFailed(std::string_view description);

GlimraFailure outputDirectoryUnavailable(std::string_view description);

// The two key listeners report the same codes with their own messages.
enum class Listener { optionChord, voiceChord };
GlimraFailure inputMonitoringRequired(Listener listener);
GlimraFailure eventTapCreationFailed(Listener listener);
GlimraFailure eventTapAttachFailed(Listener listener);
GlimraFailure eventTapDisabled(Listener listener);

// Failures of one capture attempt; their events carry the capture id.
GlimraFailure captureInProgress();
GlimraFailure screenRecordingRequired();
GlimraFailure captureProcessingFailed(std::string_view description);
GlimraFailure noFrontmostApplication();
GlimraFailure excludedFrontmostApplication();
GlimraFailure windowListUnavailable();
GlimraFailure noEligibleWindow();
GlimraFailure shareableContentUnavailable(std::string_view description);
GlimraFailure windowUnavailable();
GlimraFailure invalidWindowDimensions();
GlimraFailure captureSetupFailed(std::string_view description);
GlimraFailure captureStartFailed(std::string_view description);
GlimraFailure captureTimedOut();
GlimraFailure captureStopped(std::string_view description);
GlimraFailure frameConversionFailed();
GlimraFailure pngEncodingFailed();
GlimraFailure pngTooLarge();
GlimraFailure outputWriteFailed(std::string_view description);

}  // namespace glimra::failures
