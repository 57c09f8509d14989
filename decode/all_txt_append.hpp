#pragma once

#include <functional>
#include <string_view>

// Appends one interval's ALL.TXT lines to the open file fd (opened for appending) as one block:
// under an exclusive flock, which also keeps out other programs that lock the same file. A
// write that fails part-way (disk full) is cut back off again, so the file never keeps a torn
// line. Throws "Lock ALL.TXT", "Append ALL.TXT" or "Unlock ALL.TXT" with the system's error text.
// Threads of one process must also serialise their calls: flock does not exclude them from
// each other on a shared descriptor.
//
// Another program may hold the lock for as long as it likes, so the wait for it is taken in
// short steps that ask `stopping` in between. When it turns true while the lock is still held
// elsewhere, the wait ends, nothing is written, and the result is false; the block is never
// appended later. A free lock is taken at once even while stopping (the block then costs no
// time and is not lost). True when the block was written.
bool append_all_txt(int fd, std::string_view text, std::function<bool()> const& stopping);
