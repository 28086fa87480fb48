#include "console.h"

#include <cstdarg>

namespace {
void printFlushed(FILE* stream, const char* format, va_list args) {
    std::vfprintf(stream, format, args);
    std::fflush(stream);
}
} // namespace

void printOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printFlushed(stdout, format, args);
    va_end(args);
}

void printErr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printFlushed(stderr, format, args);
    va_end(args);
}
