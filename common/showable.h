// Text from outside the command's control (names the storage server sends:
// aliases, file space names; anything read from the wire) as it may appear
// in messages, the error log and the trace: control characters are shown
// as escapes, so such a text can never start a line of its own, move the
// cursor or forge a message.
//
// Contract
// - Newline, tab, carriage return become "\n", "\t", "\r"; every other byte
//   below 0x20 and DEL become "\ooo" (three octal digits, "\033" for ESC);
//   the C1 controls in UTF-8 form (0xC2 0x80..0x9F) become "\302\ooo";
//   a backslash becomes "\\", so an escape cannot be forged either. All
//   other bytes (UTF-8 text included) are kept.
// - Pure function, thread-safe.
#ifndef KMR_COMMON_SHOWABLE_H
#define KMR_COMMON_SHOWABLE_H

#include <string>
#include <string_view>

std::string clShowable(std::string_view text);

#endif
