// The progress line of qzidecode, fitted to the terminal's width.
#ifndef QZI_TOOLS_PROGRESS_LINE_H
#define QZI_TOOLS_PROGRESS_LINE_H

#include <string>

namespace qzi_progress {

// The columns of the terminal on `fd`, else of the COLUMNS variable, else 80.
int terminal_columns(int fd);

// "NAME [####......] 42%" in fewer than `columns` characters (the last column is left free, so
// that no terminal wraps the line): the bar shrinks from 30 cells to 10, then the name loses its
// middle to "...", then the bar shrinks further; a terminal too narrow for even that gets the
// percentage alone. Names are counted in bytes, a multibyte character never cut in two.
std::string line(const std::string& name, unsigned percent, int columns);

}  // namespace qzi_progress

#endif  // QZI_TOOLS_PROGRESS_LINE_H
