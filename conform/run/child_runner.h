#pragma once

// Runs one check in a child process forked from the tester. The child opens its own X
// connection, makes its own windows and outputs, and sends its verdict (and the pictures it
// saved) up a pipe; the parent enforces the deadline, kills a child that overruns (timeout)
// and reports one that died by a signal as a crash with the signal's name. The parent itself
// creates no outputs and no threads, so forking it is safe.

#include "run/check.h"
#include "run/results.h"

CheckRecord runCheckInChild(const Check& check, const VoutApi& api, const RunSettings& settings);
