// Suppressions files as ThreadSanitizer reads them: one "type:pattern" a line, '#' comments,
// '*' matching any text, '^' and '$' anchoring; a pattern otherwise matches anywhere in a name.
#pragma once

#include <cstddef>

namespace tavo::frontend {

bool template_match(const char* pattern, const char* text) noexcept;

// race: and race_top: patterns are matched against function, source file and module of a frame
// (race_top: the innermost frame of a stack only); called_from_lib: against the module.
enum class suppression_type_t { race, race_top, called_from_lib };

struct suppression_t {
    suppression_type_t type;
    const char* pattern;
};

// Reads the file; a line it cannot use is one warning on stderr. False when it cannot be read.
bool load_suppressions(const char* path) noexcept;
std::size_t suppression_count() noexcept;
const suppression_t& suppression(std::size_t index) noexcept;

}  // namespace tavo::frontend
