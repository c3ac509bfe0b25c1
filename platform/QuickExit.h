#pragma once

// Ends the process at once with a code, once what the C library still buffers is written out.
// No destructor runs, neither of the static objects nor of what a thread still running uses:
// for an end while such a thread cannot be stopped.
class QuickExit
{
public:
    [[noreturn]] static void now(int code);
};
