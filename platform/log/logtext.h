// The one form in which every line writer of every program (the log files, the media agent's journal
// and its progress lines) writes text that may have come from outside, so that nothing a caller sends
// can end a line, begin one or pass for one. Printable text, UTF-8 included, is written as it is. These
// bytes are written "\xNN" (two upper-case hex digits): every C0 control byte (line breaks among them)
// and DEL; each byte of a C1 control (U+0080..U+009F), of U+2028 and U+2029 and of anything that is not
// well-formed UTF-8 (overlong forms, surrogates, past U+10FFFF, cut short, stray continuation bytes); and
// a backslash followed by 'x', so that "\x" in the form always starts an escape and unescape() gives the
// original bytes back. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace logtext {

// The kind of text: a word (a line's tag) also has its spaces escaped, so that it stays one field.
enum class EForm { kText, kWord };

// How many leading bytes of `text` are written as they are (its whole size when nothing needs escaping).
// The scan that every line pays: cheap when there is nothing to escape.
size_t cleanPrefix(std::string_view text, EForm form = EForm::kText);
// The size of `text` in the escaped form.
size_t escapedSize(std::string_view text, EForm form = EForm::kText);
// Writes the escaped form of `text` at `out`, which has room for escapedSize(text) bytes; returns its end.
char* escapeInto(char* out, std::string_view text, EForm form = EForm::kText);
void appendEscaped(std::string& out, std::string_view text, EForm form = EForm::kText);
std::string escaped(std::string_view text, EForm form = EForm::kText);
// The longest start of `text` whose escaped form fits in `room` bytes, never cutting a character or an
// escape apart.
size_t fittingPrefix(std::string_view text, size_t room);

// The original bytes of a text in the escaped form; false (with `out` unspecified) when `text` is not
// in the form: a byte the form escapes written as it is, or "\x" not followed by two hex digits.
bool unescape(std::string_view text, std::string& out, EForm form = EForm::kText);

// A program's line of its own on `file` (standard output's progress lines): printf-formatted, escaped
// whole, one write with its line break.
void printLine(FILE* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace logtext
