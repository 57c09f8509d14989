#pragma once

// The whole life of the process: allocator tuning, options, one-shot commands, stop signals,
// input checks, then reception. Returns the exit status: 0 for a completed run or one-shot
// command, 1 after an error, which it has reported as "Error: " and the message on standard
// error.
int run_main(int argc, char** argv);
