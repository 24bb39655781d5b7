#pragma once

#include <QString>
#include <QStringList>

// Command lines stay one string, as on Windows, and are cut into arguments only when a child is
// started. The rules are those of CommandLineToArgvW and the Microsoft C runtime (the 2008 and
// later parser), so that a command line written for the Windows build means the same here.
namespace platform {

// Splits a command line into its arguments.
//
// Blanks are space and tab only; every other character, line breaks included, is an ordinary
// character of an argument and never separates two.
//
// The first argument, the program name:
//   - leading blanks are skipped (CreateProcess looks for the program after them);
//   - if it then begins with a double quote, it runs up to the next double quote (or the end of
//     the line) and ends there, even if no blank follows: `"a b"c` gives `a b`, then `c`;
//   - otherwise it runs up to the first blank, and double quotes in it are ordinary characters;
//   - backslashes are always ordinary characters in it.
//
// Every further argument:
//   - blanks between arguments are skipped; an argument starts at the first other character;
//   - a double quote opens or closes a quoted group; inside a group blanks are ordinary
//     characters; a group may start or end in the middle of an argument (`a"b c"d` is `ab cd`);
//   - inside a group, `""` gives one literal double quote and the group stays open;
//   - backslashes are literal unless a double quote follows them: then 2n backslashes give n
//     backslashes and the quote opens or closes a group, and 2n+1 backslashes give n backslashes
//     and a literal double quote;
//   - `""` outside a group is an empty group, so a lone `""` is an empty argument;
//   - a group left open at the end of the line closes there.
//
// An empty line, or one of blanks only, gives an empty list.
QStringList SplitCommandLine(const QString& commandLine);

// Quotes one argument (any but the first) so that SplitCommandLine gives back exactly that
// argument, whatever it holds: blanks, double quotes, backslashes (trailing ones included),
// line breaks, non-ASCII text, or nothing at all. Arguments without blanks, line breaks or
// double quotes, and not empty, come back unchanged; the others are put in double quotes with
// backslashes doubled where a quote follows them and every inner double quote escaped as `\"`.
// For any a and b:
//   SplitCommandLine("prog -i " + QuoteArgument(a) + " -x " + QuoteArgument(b))
//       == {"prog", "-i", a, "-x", b}
// A NUL character survives the round trip here but cannot reach a child (see TChildProcess).
QString QuoteArgument(const QString& argument);

// Finds the program a command line names, as Windows would, and returns its absolute path, or an
// empty string when there is none.
//   - A name holding a '/' is taken as a path (a relative one against the current folder): it is
//     returned when it names an executable regular file, or when it exists at all (so that
//     starting it reports the real reason, such as a permission error).
//   - Any other name is looked for in the folder of the running program, then in the current
//     folder, then in each folder of PATH (the system's default search path when PATH is unset;
//     empty PATH entries are skipped, the current folder having been tried already). Only
//     executable regular files count.
//   - A name ending in ".exe" (any letter case) that is found nowhere is looked for again
//     without that ending, so that "ffmpeg.exe" finds the system's ffmpeg.
QString FindProgram(const QString& name);

} // namespace platform
