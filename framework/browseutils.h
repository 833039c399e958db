// String, path and version utilities of the browse code: copies into fixed character
// fields, path delimiters of browse paths, release texts as comparable numbers, and the file type of
// subclient content items. Pure functions; any thread.
#pragma once

#include <string>

#include "platform/entities/apptypes.h"

// Path delimiters: ',' '.' '/' '\' and no others.
bool isDelimiter(char c);

// The wildcard marker "\/\/": where the wildcard part of a browse path begins.
extern const char* const kWildcardMarker;

// Copies `source` into a field of `size` bytes: size 0 writes nothing; a source shorter than `size`
// is copied whole with its NUL; otherwise its first size - 1 characters and a NUL in the last byte.
// A null source counts as empty.
void strcpy_buffer_safe(char* destination, const char* source, unsigned long size);

// The first delimiter character of `text`; 0 when `text` is null or holds none.
char getDelimiter(const char* text);

// The last occurrence of the path's own delimiter (its first delimiter character, wherever it occurs)
// before the wildcard marker, or before the end when there is none. Null when the path is null, has
// no delimiter, or has no occurrence of it before the marker. Never reads before the path.
const char* findLastDelimiter(const char* path);
char* findLastDelimiter(char* path);

// True when both are given, `text` is not empty and its last character is the first of `delimiter`.
bool endsWithDelimiter(const char* text, const char* delimiter);

// The root rule of isRoot(TInputData*), on the input's browse path: a path beginning with "\MB" (the
// mailbox root) is the root when it has at most 4 characters; any other path when it has at most 1.
// (isRoot(TInputData*) itself, false for a null input, comes with the worker's TInputData record.)
bool isRootPath(const std::string& browsePath);

// Release text as a number: major (the decimal number at the start, as atol reads it) × 100 + minor
// (the number after the first '.', 0 without one) × 10; stored into `version` and returned. Callers
// compare with 999: above means release 10 or later. A release below 10 never exceeds 999 ("9.10" is
// 999, not 1000); negative parts count as 0 and the result saturates at 0xFFFFFFFF.
unsigned int makeVersion(std::string release, unsigned int& version);

// File type of the items of a subclient's content list for an application type: 8 for the types that
// are browsed into, 1 for every other.
unsigned int getSubConfItemFileType(apptype::EAppType appType);
