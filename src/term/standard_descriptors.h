// The three standard descriptors as the program finds them at start: a closed one is held open,
// so that no file the program opens later can take its number and be read or written as if it
// were standard input, output or error.
#pragma once

namespace tessarin {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. Standard input is held
// write-only and standard output and error read-only, so every use of a held descriptor still
// fails as it did on the closed one (EBADF) instead of reading nothing or writing into the void.
// False when a closed descriptor could not be held.
bool hold_standard_descriptors();

// True when standard input can be read: open, and not held (or opened) write-only.
bool stdin_readable();

}  // namespace tessarin
