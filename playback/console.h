#pragma once

// Console lines of the worker threads: printf-style, flushed as soon as written so that a pipe
// sees each line at once.

#include <cstdio>

void printOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void printErr(const char* format, ...) __attribute__((format(printf, 1, 2)));
