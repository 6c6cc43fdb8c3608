// Cache hygiene: removing what older launchers of the same application
// unpacked beside this one's folder.
#pragma once

// Removes every sibling folder of TargetDirectory whose marker
// (payload/turn/folder_marker.h) names this company and product at a version not
// newer than this one, and which no launcher holds open. Each folder is
// emptied file by file, programs first. A link (payload/write/safe_delete.h) is
// neither followed nor removed, as no removal of one is safe under Wine: at
// the first link or file that cannot be removed (in use) the folder is left
// with its marker for a later start. A sibling that is itself a link, or
// whose marker is one, is never touched. Reports nothing.
void removeOldVersions();
