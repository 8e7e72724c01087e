// Reading a secret (a password) from the user at the terminal.
//
// Contract
// - askSecret() works only when standard input is a terminal and the process
//   has a controlling terminal: it writes `prompt` there, reads one line with
//   echo switched off and restores the terminal's settings on every path.
//   Returns the line without its end, or std::nullopt when there is no
//   terminal, the read failed or ended before a line end.
// - Any thread may call it; two callers at once would share the terminal.
#ifndef KMR_COMMON_SECRET_INPUT_H
#define KMR_COMMON_SECRET_INPUT_H

#include <optional>
#include <string>

bool haveTerminal();
std::optional<std::string> askSecret(const std::string& prompt);

#endif
