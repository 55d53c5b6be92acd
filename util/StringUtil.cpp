#include "StringUtil.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool isWhite(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

void Text_FreeString(char** dest) {
    if (dest == nullptr) {
        return;
    }
    std::free(*dest);
    *dest = nullptr;
}

void Text_AddString(char** dest, const char* text, int mode) {
    if (dest == nullptr || text == nullptr) {
        return;
    }
    const std::size_t addLen = std::strlen(text);
    if (mode == TEXT_REPLACE) {
        Text_FreeString(dest);
        if (addLen == 0) {
            return;
        }
        char* copy = static_cast<char*>(std::malloc(addLen + 1));
        if (copy == nullptr) {
            std::fputs("ERROR: Unable to perform malloc...\n", stderr);
            return;
        }
        std::memcpy(copy, text, addLen + 1);
        *dest = copy;
        return;
    }
    if (addLen == 0) {
        return;
    }
    const std::size_t oldLen = *dest != nullptr ? std::strlen(*dest) : 0;
    char* joined = static_cast<char*>(std::malloc(oldLen + addLen + 1));
    if (joined == nullptr) {
        std::fputs("ERROR: Unable to perform malloc...\n", stderr);
        return;
    }
    if (oldLen > 0) {
        std::memcpy(joined, *dest, oldLen);
    }
    std::memcpy(joined + oldLen, text, addLen + 1);
    std::free(*dest);
    *dest = joined;
}

int IsBlankStr(const char* str) {
    if (str == nullptr) {
        return 1;
    }
    for (const char* p = str; *p != '\0'; ++p) {
        if (!isWhite(*p)) {
            return 0;
        }
    }
    return 1;
}

void strip_tblanks(char* str) {
    if (str == nullptr) {
        return;
    }
    std::size_t len = std::strlen(str);
    while (len > 0 && isWhite(str[len - 1])) {
        --len;
    }
    str[len] = '\0';
}

void strip_lblanks(char* str) {
    if (str == nullptr) {
        return;
    }
    std::size_t start = 0;
    while (str[start] != '\0' && isWhite(str[start])) {
        ++start;
    }
    if (str[start] == '\0') {
        std::fputs("Error in strip_lblanks: no non-blank chars found.\n", stderr);
        return;
    }
    if (start > 0) {
        std::memmove(str, str + start, std::strlen(str + start) + 1);
    }
}

void compress_blanks(char* str) {
    if (str == nullptr) {
        return;
    }
    // The write position never passes the read position, so the string is rebuilt in place.
    std::size_t out = 0;
    bool inRun = false;
    for (std::size_t in = 0; str[in] != '\0'; ++in) {
        const bool white = isWhite(str[in]);
        if (white && inRun) {
            continue;
        }
        inRun = white;
        str[out++] = str[in];
    }
    str[out] = '\0';
}

void chgupper(char* str) {
    if (str == nullptr) {
        return;
    }
    for (char* p = str; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
}

void chglower(char* str) {
    if (str == nullptr) {
        return;
    }
    for (char* p = str; *p != '\0'; ++p) {
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
}

int Fstrlen(const char* field, int length) {
    if (length <= 0 || field == nullptr) {
        return length;
    }
    while (length > 0 && !std::isgraph(static_cast<unsigned char>(field[length - 1]))) {
        --length;
    }
    return length;
}

int cstrlen(const char* str) {
    if (str == nullptr) {
        return 0;
    }
    return static_cast<int>(std::strlen(str));
}
