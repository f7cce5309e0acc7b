// Text that came from outside the program (a server, a manifest, a file, a
// system message), made safe to write where a person reads it: a log line or
// a terminal. Nothing in it can end the line, move the cursor, recolour the
// screen or reorder what is shown around it.
#pragma once

#include <string>
#include <string_view>

namespace pellarion {

// `text` with every character that controls rather than shows written as an
// escape, and everything else kept byte for byte (Arabic and other scripts
// included):
//   - tab, line feed and carriage return as \t, \n, \r; the other C0 controls
//     and DEL as \xHH (ESC as \x1b);
//   - the C1 controls U+0080..U+009F (a terminal may take U+009B for the
//     start of a command), the line and paragraph separators U+2028/U+2029
//     and the bidirectional embeddings, overrides and isolates
//     (U+202A..U+202E, U+2066..U+2069) as \uHHHH;
//   - each byte that is not part of valid UTF-8 (a stray continuation byte,
//     a cut or overlong sequence, a surrogate, a code point past U+10FFFF)
//     as \xHH.
// A backslash stays as it is: Windows paths are written as they are.
std::string EscapeControls(std::string_view text);

}  // namespace pellarion
