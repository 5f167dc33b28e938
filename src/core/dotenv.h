// A small `.env` reader. Debian packages no maintained C++ one, and the
// format needed here is short enough to state in full:
//
//   # a comment line                 blank lines are skipped too
//   NAME=value                       unquoted: trimmed; " #" starts a comment
//   export NAME=value                an optional "export" before the name
//   NAME='literal $text \n'          single quotes: taken literally
//   NAME="a\tb\n"                    double quotes: \n \t \r \" \\ are escapes;
//                                    any other backslash is kept as written
//   NAME=                            an empty value
//
// Names are ASCII letters, digits, "_" and "."; white space may surround
// "=". A quoted value must close on its own line (multi-line values are
// written with \n inside double quotes), so an unclosed quote is an error
// instead of swallowing the rest of the file. Only white space or a comment
// may follow a closing quote. There is no variable substitution. A line
// that fits none of these forms, or is not valid UTF-8, or holds a NUL
// byte, stops the reading there.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorel {

struct DotenvContents {
    std::vector<std::pair<std::string, std::string>> assignments;  // in file order
    bool complete = true;  // false: reading stopped at a bad line
};

// The assignments of the lines before the first bad one.
DotenvContents parse_dotenv(std::string_view text);

// ".env" in the current directory or the nearest parent that has one as a
// regular file; nullopt when none, or when a lookup fails for another
// reason than the entry not existing.
std::optional<std::string> find_dotenv();

// The whole file, or nullopt when it cannot be opened or read.
std::optional<std::string> read_file(const std::string& path);

}  // namespace vantorel
