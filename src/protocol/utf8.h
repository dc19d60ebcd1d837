#pragma once

#include <string>
#include <string_view>

namespace glimra {

bool isValidUTF8(std::string_view text);

// Returns `text` with every ill-formed sequence replaced by U+FFFD (one per
// maximal ill-formed subpart, as Unicode recommends), so that strings from
// outside the helper can always be written into an event.
std::string makeValidUTF8(std::string_view text);

}  // namespace glimra
