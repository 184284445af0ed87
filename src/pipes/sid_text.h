#pragma once
// The system's own reading and writing of SID text, behind one seam: on
// Windows ConvertStringSidToSidW, IsValidSid and ConvertSidToStringSidW; in the
// native build a portable parser that the same unit tests hold to the same
// answers.

#include <optional>

#include "text/encoding.h"

// Parses `text` as the system parses SID text and returns the standard text
// the system writes for the parsed SID ("S-1-5-18"). std::nullopt when the
// system refuses the text or the SID it yields is not valid.
std::optional<WideString> StandardSidText(const WideString& text);
