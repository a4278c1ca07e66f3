// What both programs say on standard error, and how: every result, warning and error is one line
// written in one write (lines of parallel runs never mix), errors and warnings led by the
// program's name. Control characters and bytes that are not UTF-8 (a file name may hold any) are
// written as \xHH, so that no name can steer the terminal. Times read m:ss.s.
#ifndef SHELL_TEXT_H
#define SHELL_TEXT_H

#include <string>

namespace shell {

// The name that leads error and warning lines ("bandview").
void setProgramName(const char* name);
const std::string& programName();

// Writes line (made printable) and a newline to standard error in one write.
void say(const std::string& line);
// say() with the program's name in front: "bandview: <message>".
void complain(const std::string& message);

// text with control characters (but tab) and every byte that is not part of valid UTF-8 as \xHH.
std::string printable(const std::string& text);

// "m:ss.s", or "h:mm:ss.s" past an hour.
std::string clockText(double sec);

bool isTerminal(int fd);

// Lets only Qt's critical and fatal messages through, as complain() lines: its platform plugins
// chatter about displays, input devices and runtime folders that a person need not hear about.
void installQtMessageFilter();

} // namespace shell

#endif
