// Helpers of the safe replacement that the undo and redo copies use as well.
#pragma once

// Creates an empty file with a unique name in the folder of `destination` (so that a later
// rename over the destination stays on one filesystem); its name goes to `tempName` (260
// characters). False when the folder does not take new files.
bool MakeTemporaryBeside(const char* destination, char* tempName);
