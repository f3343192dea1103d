// The command line of a Windows process made from its words, so that the child's C runtime
// splits it back into the same words (kav each and kav station start kav this way on Windows).
//
// Threading: pure functions; any thread.
#pragma once

#include <string>
#include <vector>

namespace kav::tool {

// `word` as one argument of a command line: unchanged when it has no blank, tab or double
// quote (and is not empty); else in double quotes, with each '"' escaped as \" and the
// backslashes before a '"' or before the closing quote doubled, the rules by which the
// Microsoft C runtime and CommandLineToArgvW split a command line.
std::string quote_argument(const std::string& word);

// The words quoted and joined by blanks.
std::string command_line(const std::vector<std::string>& words);

}  // namespace kav::tool
