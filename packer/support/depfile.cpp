#include "packer/support/depfile.h"

namespace tallix {

std::string depfilePath(const std::string &path) {
    std::string result;
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c == ' ' || c == '\t') {
            // Backslashes right before a blank are doubled, then the blank escaped.
            for (std::size_t k = i; k > 0 && path[k - 1] == '\\'; --k) {
                result += '\\';
            }
            result += '\\';
        } else if (c == '#') {
            result += '\\';
        } else if (c == '$') {
            result += '$';
        }
        result += c;
    }
    return result;
}

std::string depfileText(const std::filesystem::path &target,
                        const std::vector<std::filesystem::path> &inputs) {
    std::string text = depfilePath(target.string()) + ":";
    for (const std::filesystem::path &input : inputs) {
        text += " \\\n  " + depfilePath(input.string());
    }
    return text + "\n";
}

} // namespace tallix
