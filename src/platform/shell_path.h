// Paths as the firmware shell's FAT volumes take them, reduced to what makes
// two names the same file there. Plain code, so that the host tests can
// drive it.
#pragma once

namespace shellpath {

// True when the names a and b, taken in the current folder (such as
// "FS0:\work", as the shell reports it, or a folder without a volume such as
// "\EFI\BOOT", the program's own folder when no shell started it: a name
// with a mapping is then on another volume), lead to the same file: the same
// volume and the same folders and name, without regard to case, with "/"
// taken as "\", "." and ".." resolved, and the blanks and dots that FAT drops
// from the end of a name dropped. A relative name on another volume is taken
// from that volume's root (its current folder is not known here). Paths too
// deep to follow are the same file only when their texts match without
// regard to case.
bool sameFile(const char* currentFolder, const char* a, const char* b);

}  // namespace shellpath
