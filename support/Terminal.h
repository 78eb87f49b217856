// What a program learns of the terminal it writes to.
#pragma once

#include <cstdio>

namespace kzsupport {

// Columns of the terminal a stream goes to: its window size, else $COLUMNS,
// else 80.
unsigned TerminalColumns(FILE* stream);

// The locale in effect (LC_ALL, else LC_CTYPE, else LANG) writes UTF-8.
bool Utf8Locale();

} // namespace kzsupport
