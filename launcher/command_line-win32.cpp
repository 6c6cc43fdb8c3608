#include "launcher/command_line.h"

#include "base/diagnostics.h"
#include "base/path_form.h"
#include "base/wide_append.h"
#include "buildinfo/build_constants.h"
#include "paths/argument_template.h"
#include "paths/module_path.h"
#include "paths/target_directory.h"
#include "paths/template_expansion.h"

#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

// CreateProcessW may write into the command line it is given.
static wchar_t childCommandLine[COMMAND_LINE_CAPACITY];

// One leading argument once expanded, and the piece of it being expanded: no
// argument can be longer than the line that carries it.
static wchar_t expandedArgument[COMMAND_LINE_CAPACITY];
static wchar_t argumentPiece[COMMAND_LINE_CAPACITY];

// Expands `argument` into expandedArgument: each piece between "{APP_DIR}"s
// as a directory template, the target directory's normal form in place of
// "{APP_DIR}".
// A piece that cannot be expanded ends the process as a bad template does.
static void expandLeadingArgument(const wchar_t *argument) {
    expandedArgument[0] = 0;
    const wchar_t *end = argument + wcslen(argument);
    const wchar_t *piece = argument;
    for (;;) {
        const wchar_t *placeholder = findAppDirPlaceholder(piece, end);
        const wchar_t *pieceEnd = placeholder != nullptr ? placeholder : end;
        argumentPiece[0] = 0;
        for (const wchar_t *unit = piece; unit < pieceEnd; ++unit) {
            appendWideChar(argumentPiece, *unit, COMMAND_LINE_CAPACITY);
        }
        size_t used = wcslen(expandedArgument);
        if (!expandTemplatePath(expandedArgument + used, argumentPiece,
                                COMMAND_LINE_CAPACITY - used)) {
            fatalTemplateError(argument);
        }
        if (placeholder == nullptr) {
            return;
        }
        appendNormalPath(expandedArgument, TargetDirectory, COMMAND_LINE_CAPACITY);
        piece = placeholder + APP_DIR_PLACEHOLDER_LENGTH;
    }
}

static void appendLeadingArguments() {
    const wchar_t *end = LeadingArguments + LEADING_ARGUMENTS_UNITS;
    for (const wchar_t *argument = LeadingArguments; argument < end;
         argument += wcslen(argument) + 1) {
        expandLeadingArgument(argument);
        appendWideChar(childCommandLine, L' ', COMMAND_LINE_CAPACITY);
        appendArgument(childCommandLine, expandedArgument);
    }
}

wchar_t *buildChildCommandLine() {
    childCommandLine[0] = 0;
    int count = 0;
    // Kept until the process ends. Without a vector or the module's name
    // there is nothing sound to pass on: an internal limit, like the step's
    // overflows.
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const wchar_t *program = getLauncherModulePath();
    if (arguments == nullptr || program == nullptr) {
        abort();
    }
    if (count > 0) {
        arguments[0] = const_cast<wchar_t *>(program);
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            appendWideChar(childCommandLine, L' ', COMMAND_LINE_CAPACITY);
        }
        appendArgument(childCommandLine, arguments[i]);
        if (i == 0 && LeadingArguments != nullptr) {
            appendLeadingArguments();
        }
    }
    return childCommandLine;
}
