#ifndef MORROWLINE_DESTINATION_SHARED_FOLDERS_H_
#define MORROWLINE_DESTINATION_SHARED_FOLDERS_H_

#include "destination/entries.h"

// Refuses, before anything on disk changes, a folder the run would write
// into where other local users may rename or remove entries: any of them
// could put a link of their own at the name the run has just given the new
// tree, after any check, and the autorun command would run what it finds.
//
// Other users may do so where the mode gives everyone write access without
// the sticky bit. Whoever owns the folder, and its group (with an ACL, every
// user and group it names: their rights show in the group bits), is
// trusted, as the one who chose to run the installer there. On a file
// system whose mode bits are one setting for the whole mount (FAT, exFAT,
// NTFS, FUSE), the user it is mounted for is trusted with whatever bits it
// shows, since chmod cannot change them; anyone else, root among them, is
// refused there too. Throws ContextError "folder writable by other users"
// (context: the folder, why, and what to do).
void refuse_folder_others_can_change(const Directory& folder);

#endif  // MORROWLINE_DESTINATION_SHARED_FOLDERS_H_
