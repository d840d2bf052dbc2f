// A reader of INI text with the rules of a Windows INI reader, for the voice
// configuration file. Self-contained (no other part of the tool), so that the
// fuzz build can take it alone.
//
// Rules: lines end at LF or CR; a UTF-8 byte-order mark at the start is skipped;
// blanks (space, tab, VT, FF) around section names, keys and values are dropped;
// a line whose first non-blank is ";" is a comment; "[name]" starts a section
// (text after the "]" is ignored); "key=value" splits at the first "="; a line
// without "=" is no key. Section and key names match without regard to the case
// of single-byte letters (a two-byte CP936 character is compared as it stands).
// The first section of a name is the one looked in, and in it the first line of
// the key gives the value; one pair of matching quotes (" or ') around the value
// is removed. There is no limit on line length and no continuation line: a value
// is exactly the rest of its line.
#pragma once

#include <string>
#include <string_view>

namespace ops {

// Looks key up in section of the INI text. True and the value when found.
bool FindIniValue(std::string_view text, std::string_view section, std::string_view key, std::string* value);

}  // namespace ops
