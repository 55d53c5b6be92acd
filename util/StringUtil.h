#pragma once

// In-place operations on zero-terminated strings and one growable heap string. White space
// and the other character classes are those of the "C" locale. Failures are reported on
// standard error.

// Text_AddString modes.
inline constexpr int TEXT_REPLACE = 1;  // any other mode appends

// Replaces (mode 1) or appends to (other modes) the heap string *dest with a copy of text.
// Nothing happens when text is none. *dest is none or a block from the C heap.
void Text_AddString(char** dest, const char* text, int mode);
// Frees *dest if there is one and sets it to none.
void Text_FreeString(char** dest);
// 1 when str is none, empty or only white space, else 0.
int IsBlankStr(const char* str);
// Removes trailing white space in place.
void strip_tblanks(char* str);
// Removes leading white space in place; an empty or all-white string is left as it is.
void strip_lblanks(char* str);
// Replaces every run of white space by the first character of the run, in place.
void compress_blanks(char* str);
// Converts to upper case in place; none is ignored.
void chgupper(char* str);
// Converts to lower case in place; none is ignored.
void chglower(char* str);
// Length of a fixed-width field of `length` characters without its trailing filler (any
// character that is not graphic); the field need not be zero-terminated.
int Fstrlen(const char* field, int length);
// Length of a zero-terminated string; 0 for none.
int cstrlen(const char* str);
