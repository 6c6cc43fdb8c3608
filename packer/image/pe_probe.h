// Reads what the packer needs to know about the main program from its PE
// headers: whether the launcher can start it at all, and its subsystem.
#pragma once

#include <filesystem>

namespace tallix {

enum class Subsystem { Gui, Console };

// Throws BadInput naming `program` and the fix when the launcher could never
// start it: a batch file, an empty file, anything without PE headers, a DLL,
// a program for another machine than x86-64 or for another subsystem than
// the Windows GUI or console, one cut short or whose headers point outside
// the file (pe::layoutProblem). Otherwise returns its subsystem.
Subsystem probeMainProgram(const std::filesystem::path &program);

} // namespace tallix
