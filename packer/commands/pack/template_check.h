// Checks a directory template before it is compiled into a launcher: the
// launcher itself only finds a bad template when a user starts it.
#pragma once

#include "packer/image/launcher_writer.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tallix {

// The template of the launcher's extraction directory when none is given:
// per user, and apart for every company, product and version.
inline constexpr char DEFAULT_TEMPLATE[] = "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}-{VERSION}";

// Longest expanded directory the launcher accepts, terminator excluded: its
// path buffer holds 4095 units of the directory's extended-length form, whose
// prefix takes up to 6 of them ("\\?\UNC\" for the "\\" of a UNC path).
constexpr std::size_t TEMPLATE_TEXT_LIMIT = 4089;

// Windows starts a program from a path of this many units or more only where
// LongPathsEnabled is set: MAX_PATH, whose count includes the terminator.
constexpr std::size_t PROGRAM_PATH_LIMIT = 260;

// Values of the placeholders that depend on the machine.
struct MachineSample {
    std::u16string home, cacheDir, temp, programDir, pid;
};

// What they are taken to be when the unpacked path is estimated: the usual
// folders of a user whose name has 20 characters, the most a Windows user
// name can have (spelled so that a warning showing it reads as what it
// stands for); a launcher in that user's Downloads folder; a process id of
// 6 digits, which a busy system reaches. {RANDOM}, {TIME} and {TIME_US}
// always have the lengths of their samples ({TIME} has 18 digits from 1918
// to 4770).
inline const MachineSample ESTIMATED_MACHINE = {
    u"C:\\Users\\<user-name-20-chars>", u"C:\\Users\\<user-name-20-chars>\\AppData\\Local",
    u"C:\\Users\\<user-name-20-chars>\\AppData\\Local\\Temp",
    u"C:\\Users\\<user-name-20-chars>\\Downloads", u"123456"};
// The same for a user shown as a sample (tallix-pack inspect).
inline const MachineSample SAMPLE_MACHINE = {
    u"C:\\Users\\<user>", u"C:\\Users\\<user>\\AppData\\Local",
    u"C:\\Users\\<user>\\AppData\\Local\\Temp", u"C:\\Users\\<user>\\Downloads", u"4711"};
inline constexpr char16_t SAMPLE_RANDOM[] = u"IQHFT9HQGrI";
inline constexpr char16_t SAMPLE_TIME[] = u"133800000000000000";
inline constexpr char16_t SAMPLE_TIME_US[] = u"123456";

struct TemplateCheck {
    std::optional<std::string> error;   // why the template is refused
    std::set<std::string> placeholders; // names used, upper case
    bool perUserStart = false;          // starts with {CACHE_DIR}, {HOME} or {TEMP} and a separator
    std::set<std::string> notAtStart;   // names used after the first unit, upper case
};

// Placeholders whose value is a full path: only sound at a template's start.
inline const std::set<std::string> PATH_PLACEHOLDERS = {"PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR",
                                                        "TEMP",    "HOME",         "CACHE_DIR"};
// Placeholders that differ on every start: a new folder each time.
inline const std::set<std::string> PER_START_PLACEHOLDERS = {"RANDOM", "PID", "TIME", "TIME_US"};

// Refuses an empty template, an unknown or empty placeholder name, a "{"
// inside a placeholder, a placeholder left open at the end, and literal text
// longer than the launcher's path buffer. Names compare without case. An
// unknown name close to a known one, or to one of `alsoKnown` (the names
// only the caller's context has, such as APP_DIR), is answered with it.
TemplateCheck checkTemplate(const std::u16string &pattern,
                            const std::vector<std::string> &alsoKnown = {});

// The directory a valid template is estimated to expand to: the values of
// `constants` (whose directoryTemplate it is), `launcherName` as the
// launcher's file name, and `machine`. Text the launcher still resolves (a
// relative path, "..") is taken as it stands.
std::u16string estimateExpansion(const BuildConstants &constants,
                                 const std::u16string &launcherName,
                                 const MachineSample &machine = ESTIMATED_MACHINE);

struct FolderNameCheck {
    std::optional<std::string> error;      // a folder Windows cannot make as named
    std::optional<std::string> deviceFrom; // the placeholder a device name starts with
    std::optional<std::string> warning;    // a ".." folder: the launcher steps out
};

// The folder names of a valid template as estimateExpansion makes them:
// one ending in a dot or a space (Windows drops them) or a device name
// (CON, NUL, COM1 ...) is an error naming the folder; a ".." a warning, as
// "{PROGRAM_DIR}\..\data" may be meant. Other units are left to the values'
// own checks, as the literal text may hold a drive's ':'.
FolderNameCheck checkFolderNames(const BuildConstants &constants,
                                 const std::u16string &launcherName);

// The warning for a main program (`mainProgram`, its record name) whose
// unpacked path, below the estimated expansion, has PROGRAM_PATH_LIMIT units
// or more: Windows would not start it without LongPathsEnabled.
std::optional<std::string> programPathWarning(const BuildConstants &constants,
                                              const std::u16string &launcherName,
                                              const std::u16string &mainProgram);

} // namespace tallix
