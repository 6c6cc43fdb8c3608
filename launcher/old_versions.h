// Cache hygiene: removing what older launchers of the same application
// unpacked beside this one's folder.
#pragma once

// Removes every sibling folder of TargetDirectory whose marker
// (payload/folder_marker.h) names this company and product at a version not
// newer than this one, and which no launcher holds open. Each folder is
// emptied file by file, programs first, links removed and never followed;
// at the first file that cannot be removed (in use) the folder is left with
// its marker for a later start. Reports nothing.
void removeOldVersions();
