#pragma once

#include <string_view>

// Appends one interval's ALL.TXT lines to the open file fd (opened for appending) as one block:
// under an exclusive flock, which also keeps out other programs that lock the same file. A
// write that fails part-way (disk full) is cut back off again, so the file never keeps a torn
// line. Throws "Lock ALL.TXT", "Append ALL.TXT" or "Unlock ALL.TXT" with the system's error text.
// Threads of one process must also serialise their calls: flock does not exclude them from
// each other on a shared descriptor.
void append_all_txt(int fd, std::string_view text);
