// Replacing a file without ever losing it. The new version is complete and closed when this
// is called; the destination is then either the old file or the new one, whole, whatever
// happens (crash, kill, full disk): the new bytes are flushed, brought into the destination's
// folder when they stand on another filesystem, and renamed over the destination atomically.
// The destination stays the same file to its users: its permissions, owner and group (its
// attributes and security on Windows) go to the new version, and a symbolic link keeps naming
// the file it named, which is the one replaced. Only regular files are replaced.
#pragma once

// Moves the finished file `newFile` over `destination` (which may not exist yet). On success
// `newFile` is gone; on failure the destination is untouched and false is returned (also for a
// read-only destination, a device, a FIFO, a socket or a symbolic link to nothing).
bool ReplaceFileSafely(const char* newFile, const char* destination);
