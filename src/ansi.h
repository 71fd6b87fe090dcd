// Removal of ANSI terminal escape sequences (colours, cursor moves, titles,
// terminal markers) from text read as plain text.
#pragma once

#include <string>
#include <string_view>

namespace tavisk::ansi {

// True when the text holds an escape character or an 8-bit CSI or OSC introducer.
bool has_escapes(std::string_view text);

// The text without its escape sequences: CSI (ESC [ ... final byte), the
// string sequences OSC, DCS, SOS, PM and APC (up to BEL or ESC \, or the end
// of the line when unterminated), and the two- and three-byte escapes
// (ESC 7, ESC ( B, ...). An escape character that starts none of these is
// dropped alone; everything else is kept byte for byte.
std::string strip(std::string_view text);

}  // namespace tavisk::ansi
